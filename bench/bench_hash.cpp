// MD5 and SHA-1 over whole buffers: CMD5 and CSHA1 against OpenSSL's EVP
// digests and nettle's md5/sha1 on the same buffers. Every implementation
// starts a fresh message and finishes it inside the timed loop. SHA-1 is
// also measured on softenc's portable compression alone, for comparison
// with the SHA-instruction path chosen at run time.
// softenc's SHA-1 core first: nettle's header then defines the same
// constant names as macros of the same values.
#include "common/Bytes.h"
#include "softenc/sha1.h"
#include "softenc/softenc.h"

#include <openssl/evp.h>

#include <nettle/md5.h>
#include <nettle/sha1.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

Bytes Buffer(size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(i * 31 + 7);
    return data;
}

template <class Hash> void Softenc(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    unsigned char digest[20];
    Hash hash;
    for (auto _ : state) {
        hash.Update(data.data(), static_cast<unsigned int>(data.size()));
        hash.Final(digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void SoftencSHA1Portable(benchmark::State& state) {
    SHA1UseCompress(SHA1CompressPortable);
    Softenc<CSHA1>(state);
    SHA1UseCompress(nullptr);
}

template <const EVP_MD* (*Md)()> void OpenSSL(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const EVP_MD* md = Md();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, digest, &length);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void NettleMD5(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    unsigned char digest[MD5_DIGEST_SIZE];
    for (auto _ : state) {
        md5_ctx ctx;
        md5_init(&ctx);
        md5_update(&ctx, data.size(), data.data());
        md5_digest(&ctx, sizeof digest, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void NettleSHA1(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    unsigned char digest[SHA1_DIGEST_SIZE];
    for (auto _ : state) {
        sha1_ctx ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, data.size(), data.data());
        sha1_digest(&ctx, sizeof digest, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

#define HASH_SIZES Arg(64)->Arg(4096)->Arg(1 << 20)

BENCHMARK_TEMPLATE(Softenc, CMD5)->Name("BM_MD5_softenc")->HASH_SIZES;
BENCHMARK_TEMPLATE(OpenSSL, EVP_md5)->Name("BM_MD5_openssl")->HASH_SIZES;
BENCHMARK(NettleMD5)->Name("BM_MD5_nettle")->HASH_SIZES;
BENCHMARK_TEMPLATE(Softenc, CSHA1)->Name("BM_SHA1_softenc")->HASH_SIZES;
BENCHMARK_TEMPLATE(OpenSSL, EVP_sha1)->Name("BM_SHA1_openssl")->HASH_SIZES;
BENCHMARK(NettleSHA1)->Name("BM_SHA1_nettle")->HASH_SIZES;
BENCHMARK(SoftencSHA1Portable)->Name("BM_SHA1Portable_softenc")->HASH_SIZES;

} // namespace
