// RSA_extractSignedDigest under a 768-bit key (rsa_digest.key: modulus, private exponent). Mode 0:
// the data is a signature; 1: a block, left-padded with zeros; 2: a DigestInfo after 00 01 FF..FF
// 00. Blocks signed by the library's arithmetic open to a digest that is their tail, if any.
#include <algorithm>
#include <cstring>
#include <map>

#include "crypto/rsa.h"
#include "crypto/vlong.h"
#include "fuzz/support/fuzz_board.h"

using fuzz::check;

namespace {

constexpr std::size_t kBytes = 96;
// Digest lengths by algorithm number; -1 is a block without a DigestInfo.
const std::map<std::int32_t, std::uint32_t> kDigestLengths = {
    {2, 16}, {3, 16}, {4, 16}, {5, 20}, {11, 32}, {12, 48}, {13, 64}, {14, 28}, {-1, 0}};

struct Key {
    RsaKey* rsa = nullptr;
    vlong* d = nullptr;
    Key() {
        fuzz::board();
        const std::string bytes = file_text(BOOTMGR_SOURCE_DIR "/fuzz/rsa_digest.key");
        const auto* n = reinterpret_cast<const std::uint8_t*>(bytes.data());
        check(bytes.size() == 2 * kBytes && RSA_createKey(&rsa) == 0 &&
              RSA_loadPublicValues(rsa, 65537, n, kBytes) == 0 &&
              VLONG_fromBytes(n + kBytes, kBytes, &d, nullptr) == 0);
    }
};

// s := em ^ d mod n, as kBytes bytes; false when em is not below n.
bool sign_block(const Key& key, const std::uint8_t* em, std::uint8_t* signature) {
    vlong *m = nullptr, *s = nullptr, *back = nullptr;
    check(VLONG_fromBytes(em, static_cast<std::int32_t>(kBytes), &m, nullptr) == 0);
    const bool below = VLONG_compareMagnitudes(m, key.rsa->n) < 0;
    auto length = static_cast<std::int32_t>(kBytes);
    if (below)
        check(VLONG_modExp(m, key.d, key.rsa->n, &s, nullptr) == 0 &&
              VLONG_modExp(s, key.rsa->e, key.rsa->n, &back, nullptr) == 0 &&
              VLONG_compareMagnitudes(back, m) == 0 &&
              VLONG_byteStringFromVlong(s, signature, &length) == 0);
    for (vlong* v : {m, s, back}) VLONG_free(&v, nullptr);
    return below;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const Key key;
    const auto [mode, rest] = fuzz::split(data, size);
    std::uint8_t digest[64], em[kBytes] = {}, signature[kBytes];
    std::uint32_t digest_len = 0;
    std::int32_t algorithm = 0;
    if (mode % 3 == 0) {  // -7609: the library's bad-length status
        check(RSA_extractSignedDigest(key.rsa, rest.data(), static_cast<std::uint32_t>(rest.size()),
                                      digest, &digest_len, &algorithm) == -7609 ||
              rest.size() == kBytes);
        return 0;
    }
    if (rest.size() > (mode % 3 == 1 ? kBytes : kBytes - 11)) return 0;
    if (mode % 3 == 2) {  // 00 01 FF..FF 00, then the data
        em[1] = 0x01;
        std::memset(em + 2, 0xFF, kBytes - 3 - rest.size());
    }
    std::copy(rest.begin(), rest.end(), em + kBytes - rest.size());
    std::memset(digest, 0xA5, sizeof digest);
    if (!sign_block(key, em, signature) ||
        RSA_extractSignedDigest(key.rsa, signature, kBytes, digest, &digest_len, &algorithm) != 0)
        return 0;
    check(kDigestLengths.contains(algorithm) && kDigestLengths.at(algorithm) == digest_len &&
          std::memcmp(digest, em + kBytes - digest_len, digest_len) == 0 &&
          std::all_of(digest + digest_len, digest + sizeof digest, [](auto b) { return b == 0; }));
    return 0;
}
