// The Diffie-Hellman group of the tunnel: the 1024-bit MODP group with a 160-bit prime-order
// subgroup of RFC 5114 section 2.1.
#pragma once

#include <cryptopp/integer.h>

namespace kl {

// The 1024-bit prime modulus.
const CryptoPP::Integer& crypto_p();
// The generator of the subgroup.
const CryptoPP::Integer& crypto_g();
// The subgroup's 160-bit prime order.
const CryptoPP::Integer& crypto_q();

// True when value is an element of the prime-order subgroup other than 1: 1 < value < p - 1 and
// value^q = 1 (mod p). Anything else would let the other side pin the shared secret to a tiny set.
bool isValidGroupElement(const CryptoPP::Integer& value);

}  // namespace kl
