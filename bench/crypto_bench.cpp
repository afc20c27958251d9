// Our cryptographic library and image CRC-32 against their host peers: zlib's crc32 and OpenSSL's
// libcrypto. tools/run-bench.sh runs this program twice, once as is and once with the CPU's SHA,
// AES and vector extensions masked from OpenSSL (OPENSSL_ia32cap), the fair peer for a PowerPC
// without crypto instructions. Names: <operation>/<size>/<ours|peer>.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/aes.h"
#include "crypto/digest.h"
#include "crypto/imgsign.h"
#include "crypto/keydecode.h"
#include "crypto/rsa.h"
#include "image/image_format.h"

namespace {

std::vector<std::uint8_t> filled(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = 12345;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return v;
}

// One RSA-2048 key (e = 65537) and a signature over the SHA-256 of a 10 MiB payload.
struct Signed {
    std::vector<std::uint8_t> payload = filled(10u << 20);
    std::string pem;
    std::vector<std::uint8_t> sig;
    std::uint8_t digest[32];
    EVP_PKEY* key = nullptr;

    Signed() {
        BASE64_buildTable();
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
        EVP_PKEY_keygen_init(ctx);
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 2048);
        EVP_PKEY_keygen(ctx, &key);
        EVP_PKEY_CTX_free(ctx);
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(bio, key);
        char* p = nullptr;
        const long n = BIO_get_mem_data(bio, &p);
        pem.assign(p, static_cast<std::size_t>(n));
        BIO_free(bio);
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        std::size_t len = 0;
        EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key);
        EVP_DigestSign(md, nullptr, &len, payload.data(), payload.size());
        sig.resize(len);
        EVP_DigestSign(md, sig.data(), &len, payload.data(), payload.size());
        EVP_MD_CTX_free(md);
        unsigned dl = 0;
        EVP_Digest(payload.data(), payload.size(), digest, &dl, EVP_sha256(), nullptr);
    }
};

Signed& fixture() {
    static Signed s;
    return s;
}

bool openssl_verify(const std::string& pem, const std::uint8_t* digest,
                    const std::vector<std::uint8_t>& sig) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_verify_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    const bool ok = EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest, 32) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

void crc32_ours(benchmark::State& state) {
    const auto data = filled(16u << 20);
    for (auto _ : state)
        benchmark::DoNotOptimize(image_crc32(data.data(), data.size(), 0xFFFFFFFFu));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}

void crc32_peer(benchmark::State& state) {
    const auto data = filled(16u << 20);
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0, data.data(), static_cast<uInt>(data.size())));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}

void sha256_ours(benchmark::State& state) {
    const auto& p = fixture().payload;
    std::uint8_t d[64];
    std::uint32_t n = 0;
    for (auto _ : state) {
        IMGSIGN_computeSHA256(p.data(), static_cast<std::uint32_t>(p.size()), d, &n);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(p.size()));
}

void sha256_peer(benchmark::State& state) {
    const auto& p = fixture().payload;
    std::uint8_t d[32];
    unsigned n = 0;
    for (auto _ : state) {
        EVP_Digest(p.data(), p.size(), d, &n, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(p.size()));
}

void rsa_ours(benchmark::State& state) {
    auto& f = fixture();
    KeyObject key;
    KEYOBJ_init(&key);
    CA_MGMT_convertPublicKey(reinterpret_cast<const std::uint8_t*>(f.pem.data()),
                             static_cast<std::uint32_t>(f.pem.size()), &key);
    for (auto _ : state) {
        std::uint8_t d[64];
        std::uint32_t n = 0;
        std::int32_t alg = 0;
        if (RSA_extractSignedDigest(static_cast<const RsaKey*>(key.key), f.sig.data(),
                                    static_cast<std::uint32_t>(f.sig.size()), d, &n, &alg) != 0 ||
            std::memcmp(d, f.digest, 32) != 0)
            state.SkipWithError("signature refused");
    }
    KEYOBJ_release(&key);
}

void rsa_peer(benchmark::State& state) {
    auto& f = fixture();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(f.key, nullptr);
    EVP_PKEY_verify_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    for (auto _ : state)
        if (EVP_PKEY_verify(ctx, f.sig.data(), f.sig.size(), f.digest, 32) != 1)
            state.SkipWithError("signature refused");
    EVP_PKEY_CTX_free(ctx);
}

void image_check_ours(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        std::uint8_t d[32];
        std::uint32_t n = 0;
        IMGSIGN_computeSHA256(f.payload.data(), static_cast<std::uint32_t>(f.payload.size()), d,
                              &n);
        if (IMGSIGN_verifySignature(d, n, f.sig.data(), static_cast<std::uint32_t>(f.sig.size()),
                                    reinterpret_cast<const std::uint8_t*>(f.pem.data()),
                                    static_cast<std::uint32_t>(f.pem.size())) != 0)
            state.SkipWithError("signature refused");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.payload.size()));
}

void image_check_peer(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        std::uint8_t d[32];
        unsigned n = 0;
        EVP_Digest(f.payload.data(), f.payload.size(), d, &n, EVP_sha256(), nullptr);
        if (!openssl_verify(f.pem, d, f.sig)) state.SkipWithError("signature refused");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(f.payload.size()));
}

const std::uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

void aes_ours(benchmark::State& state) {
    auto data = filled(static_cast<std::size_t>(state.range(0)));
    AESCtx* ctx = CreateAESCtx(kKey, 16, 0);
    std::uint8_t iv[16] = {};
    for (auto _ : state) {
        DoAES(ctx, data.data(), static_cast<std::int32_t>(data.size()), 0, iv);
        benchmark::DoNotOptimize(data.data());
    }
    DeleteAESCtx(&ctx);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void aes_peer(benchmark::State& state) {
    auto data = filled(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> out(data.size() + 16);
    std::uint8_t iv[16] = {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int n = 0;
        // A fresh key set-up per call, as the key-file path does: the peer does the same work.
        EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, kKey, iv);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_DecryptUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(data.size()));
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(crc32_ours)->Name("crc32/16MiB/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(crc32_peer)->Name("crc32/16MiB/peer")->Unit(benchmark::kMillisecond);
BENCHMARK(sha256_ours)->Name("sha256/10MiB/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(sha256_peer)->Name("sha256/10MiB/peer")->Unit(benchmark::kMillisecond);
BENCHMARK(rsa_ours)->Name("rsa2048_verify/256B/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(rsa_peer)->Name("rsa2048_verify/256B/peer")->Unit(benchmark::kMicrosecond);
BENCHMARK(image_check_ours)->Name("image_check/10MiB/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(image_check_peer)->Name("image_check/10MiB/peer")->Unit(benchmark::kMillisecond);
BENCHMARK(aes_ours)->Name("aes128_cbc_decrypt/464B/ours")->Arg(464)->Unit(benchmark::kMicrosecond);
BENCHMARK(aes_peer)->Name("aes128_cbc_decrypt/464B/peer")->Arg(464)->Unit(benchmark::kMicrosecond);
BENCHMARK(aes_ours)
    ->Name("aes128_cbc_decrypt/1MiB/ours")
    ->Arg(1 << 20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(aes_peer)
    ->Name("aes128_cbc_decrypt/1MiB/peer")
    ->Arg(1 << 20)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
