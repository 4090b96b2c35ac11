// DES and triple DES in ECB over whole buffers, and the DES MAC, against
// OpenSSL's low-level DES and nettle's des/des3 on the same buffers. Every
// implementation builds its key schedule inside the timed loop, once per
// buffer, as softenc's ciphers do on every ProcessBlocks call.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <nettle/des.h>

#include <benchmark/benchmark.h>

#include "common/Bytes.h"
#include "softenc/softenc.h"

#include <cstring>
#include <vector>

namespace {

// Not const: OpenSSL takes key blocks through a non-const pointer type.
unsigned char kKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98,
                          0x76, 0x54, 0x32, 0x10, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67};

Bytes Buffer(size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(i * 31 + 7);
    return data;
}

template <class Cipher> void Softenc(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    Cipher cipher(kKey);
    for (auto _ : state) {
        cipher.ProcessBlocks(data.data(), data.size());
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void OpenSSLDES(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    for (auto _ : state) {
        DES_key_schedule schedule;
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey), &schedule);
        for (size_t i = 0; i + 8 <= data.size(); i += 8) {
            auto block = reinterpret_cast<DES_cblock*>(&data[i]);
            DES_ecb_encrypt(block, block, &schedule, DES_ENCRYPT);
        }
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

template <int Keys> void OpenSSLTDES(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    for (auto _ : state) {
        DES_key_schedule k1, k2, k3;
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey), &k1);
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey + 8), &k2);
        if (Keys == 3)
            DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey + 16), &k3);
        DES_key_schedule* last = Keys == 3 ? &k3 : &k1;
        for (size_t i = 0; i + 8 <= data.size(); i += 8) {
            auto block = reinterpret_cast<DES_cblock*>(&data[i]);
            DES_ecb3_encrypt(block, block, &k1, &k2, last, DES_ENCRYPT);
        }
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void NettleDES(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    for (auto _ : state) {
        des_ctx ctx;
        des_set_key(&ctx, kKey);
        des_encrypt(&ctx, data.size(), data.data(), data.data());
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

template <int Keys> void NettleTDES(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    unsigned char key[24];
    std::memcpy(key, kKey, 16);
    std::memcpy(key + 16, Keys == 3 ? kKey + 16 : kKey, 8);
    for (auto _ : state) {
        des3_ctx ctx;
        des3_set_key(&ctx, key);
        des3_encrypt(&ctx, data.size(), data.data(), data.data());
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void SoftencMac(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    unsigned char mac[4];
    for (auto _ : state) {
        CDESMac engine;
        engine.Init(kKey, 16, nullptr);
        engine.Update(data.data(), data.size());
        engine.Final(mac);
        benchmark::DoNotOptimize(mac);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// ISO/IEC 9797-1 MAC algorithm 3 with padding method 2 on OpenSSL's single
// DES: CBC under K1, then the last block decrypted under K2 and encrypted
// under K1; both schedules made once per message.
void OpenSSLRetailMac(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    unsigned char mac[4];
    for (auto _ : state) {
        DES_key_schedule k1, k2;
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey), &k1);
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey + 8), &k2);
        DES_cblock chain = {0};
        size_t whole = data.size() / 8 * 8;
        for (size_t i = 0; i <= whole; i += 8) {
            unsigned char block[8] = {0};
            if (i < whole) {
                std::memcpy(block, &data[i], 8);
            } else {
                std::memcpy(block, &data[i], data.size() - whole);
                block[data.size() - whole] = 0x80;
            }
            for (int j = 0; j < 8; ++j)
                chain[j] ^= block[j];
            DES_ecb_encrypt(&chain, &chain, &k1, DES_ENCRYPT);
        }
        DES_ecb_encrypt(&chain, &chain, &k2, DES_DECRYPT);
        DES_ecb_encrypt(&chain, &chain, &k1, DES_ENCRYPT);
        std::memcpy(mac, chain, 4);
        benchmark::DoNotOptimize(mac);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

#define CIPHER_SIZES Arg(16)->Arg(256)->Arg(4096)->Arg(1 << 20)
#define MAC_SIZES Arg(16)->Arg(256)->Arg(4096)

BENCHMARK_TEMPLATE(Softenc, CDESEncryptor)->Name("BM_DES_softenc")->CIPHER_SIZES;
BENCHMARK(OpenSSLDES)->Name("BM_DES_openssl")->CIPHER_SIZES;
BENCHMARK(NettleDES)->Name("BM_DES_nettle")->CIPHER_SIZES;
BENCHMARK_TEMPLATE(Softenc, CTDES2Encryptor)->Name("BM_TDES2_softenc")->CIPHER_SIZES;
BENCHMARK_TEMPLATE(OpenSSLTDES, 2)->Name("BM_TDES2_openssl")->CIPHER_SIZES;
BENCHMARK_TEMPLATE(NettleTDES, 2)->Name("BM_TDES2_nettle")->CIPHER_SIZES;
BENCHMARK_TEMPLATE(Softenc, CTDES3Encryptor)->Name("BM_TDES3_softenc")->CIPHER_SIZES;
BENCHMARK_TEMPLATE(OpenSSLTDES, 3)->Name("BM_TDES3_openssl")->CIPHER_SIZES;
BENCHMARK_TEMPLATE(NettleTDES, 3)->Name("BM_TDES3_nettle")->CIPHER_SIZES;
BENCHMARK(SoftencMac)->Name("BM_DESMac_softenc")->MAC_SIZES;
BENCHMARK(OpenSSLRetailMac)->Name("BM_DESMac_openssl")->MAC_SIZES;

} // namespace
