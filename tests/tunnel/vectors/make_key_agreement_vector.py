#!/usr/bin/python3
"""Computes the key-agreement known-answer vector of test_encryption.cpp from first principles:
Python's own big integers for the group arithmetic and python3-cryptography for AES and CMAC.
Run with Debian's /usr/bin/python3; paste its output into the test when the vector changes."""

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.cmac import CMAC

P = int("B10B8F96A080E01DDE92DE5EAE5D54EC52C99FBCFB06A3C69A6A9DCA52D23B616073E28675A23D189838EF1E2EE652C0"
        "13ECB4AEA906112324975C3CD49B83BFACCBDD7D90C4BD7098488E9C219A73724EFFD6FAE5644738FAA31A4FF55BCCC0"
        "A151AF5F0DC8B4BD45BF37DF365C1A65E68CFDA76D4DA708DF1FB2BC2E4A4371", 16)
G = int("A4D1CBD5C3FD34126765A442EFB99905F8104DD258AC507FD6406CFF14266D31266FEA1E5C41564B777E690F5504F213"
        "160217B4B01B886A5E91547F9E2749F4D7FBD7D3B9A92EE1909D0D2263F80A76A6A24C087A091F531DBF0A0169B6A28A"
        "D662A4D18E73AFA32D779D5918D08BC8858F4DCEF97C2A24855E6EEB22B3B2E5", 16)
Q = int("F518AA8781A8DF278ABA4E7D64B7CB9D49462353", 16)

# Fixed inputs: the two private exponents and what each side's random generator yields, in the
# order it is drawn (the IV at construction, then the content key at agreement).
PRIV_A = bytes.fromhex("1f2e3d4c5b6a79880f1e2d3c4b5a69788796a5b4")
PRIV_B = bytes.fromhex("0a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d")
IV_A = bytes(range(0x10, 0x20))
CEK_A = bytes(range(0x20, 0x30))
IV_B = bytes(range(0x30, 0x40))
CEK_B = bytes(range(0x40, 0x50))
PLAIN = bytes((i * 7 + 3) & 0xFF for i in range(100))


def public(priv):
    x = int.from_bytes(priv, "big")
    assert 0 < x < Q
    return pow(G, x, P).to_bytes(128, "big")


def wrap(kek, cek, iv):
    enc = Cipher(algorithms.AES(kek[0:16]), modes.ECB()).encryptor()
    wrapped = enc.update(cek) + enc.finalize()
    mac = CMAC(algorithms.AES(kek[16:32]))
    mac.update(wrapped)
    return wrapped + mac.finalize() + iv


def stream(mode, key, data):
    enc = Cipher(algorithms.AES(key), mode).encryptor()
    return enc.update(data) + enc.finalize()


pub_a, pub_b = public(PRIV_A), public(PRIV_B)
kek = pow(int.from_bytes(pub_b, "big"), int.from_bytes(PRIV_A, "big"), P).to_bytes(128, "big")
assert kek == pow(int.from_bytes(pub_a, "big"), int.from_bytes(PRIV_B, "big"), P).to_bytes(128, "big")

values = [
    ("kPrivateA", PRIV_A), ("kPrivateB", PRIV_B), ("kPublicA", pub_a), ("kPublicB", pub_b),
    ("kSharedKEK", kek), ("kWrappedA", wrap(kek, CEK_A, IV_A)), ("kWrappedB", wrap(kek, CEK_B, IV_B)),
    ("kPlain", PLAIN), ("kCtrA", stream(modes.CTR(IV_A), CEK_A, PLAIN)),
    ("kCfbA", stream(modes.CFB(IV_A), CEK_A, PLAIN)),
]
for name, value in values:
    text = value.hex()
    lines = [text[i:i + 96] for i in range(0, len(text), 96)]
    print("const char* %s =\n%s;" % (name, "\n".join('    "%s"' % line for line in lines)))
