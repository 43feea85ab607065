#include "tunnel/protocol/TunnexDHGroup.h"


namespace kl {

// The group's numbers are never destroyed: a key agreement on a transport or pool thread may still
// read them while the process exits.

const CryptoPP::Integer& crypto_p() {
    static const auto& p = *new CryptoPP::Integer(
        "0xB10B8F96A080E01DDE92DE5EAE5D54EC52C99FBCFB06A3C69A6A9DCA52D23B616073E28675A23D189838EF1E2EE652C0"
        "13ECB4AEA906112324975C3CD49B83BFACCBDD7D90C4BD7098488E9C219A73724EFFD6FAE5644738FAA31A4FF55BCCC0"
        "A151AF5F0DC8B4BD45BF37DF365C1A65E68CFDA76D4DA708DF1FB2BC2E4A4371");
    return p;
}

const CryptoPP::Integer& crypto_g() {
    static const auto& g = *new CryptoPP::Integer(
        "0xA4D1CBD5C3FD34126765A442EFB99905F8104DD258AC507FD6406CFF14266D31266FEA1E5C41564B777E690F5504F213"
        "160217B4B01B886A5E91547F9E2749F4D7FBD7D3B9A92EE1909D0D2263F80A76A6A24C087A091F531DBF0A0169B6A28A"
        "D662A4D18E73AFA32D779D5918D08BC8858F4DCEF97C2A24855E6EEB22B3B2E5");
    return g;
}

const CryptoPP::Integer& crypto_q() {
    static const auto& q = *new CryptoPP::Integer("0xF518AA8781A8DF278ABA4E7D64B7CB9D49462353");
    return q;
}

bool isValidGroupElement(const CryptoPP::Integer& value) {
    const CryptoPP::Integer& p = crypto_p();
    if (value <= CryptoPP::Integer::One() || value >= p - CryptoPP::Integer::One()) return false;
    return a_exp_b_mod_c(value, crypto_q(), p) == CryptoPP::Integer::One();
}

}  // namespace kl
