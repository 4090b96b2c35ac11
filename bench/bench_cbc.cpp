// The CBC encrypt filter over CDESEncryptor against OpenSSL's DES CBC on the
// same buffers, both with PKCS #5 padding. The filter calls the cipher one
// block at a time, and the cipher builds its key schedule on each call;
// OpenSSL makes its schedule once per message.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <benchmark/benchmark.h>

#include "common/Bytes.h"
#include "softenc/softenc.h"

#include <cstring>
#include <vector>

namespace {

// Not const: OpenSSL takes key blocks through a non-const pointer type.
unsigned char kKey[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
const unsigned char kIV[8] = {0x12, 0x34, 0x56, 0x78, 0x90, 0xAB, 0xCD, 0xEF};

Bytes Buffer(size_t size) {
    Bytes data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(i * 31 + 7);
    return data;
}

void SoftencCBC(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    CDESEncryptor cipher(kKey);
    for (auto _ : state) {
        CCBCEncryptFilter filter(&cipher, kIV);
        filter.Update(data.data(), static_cast<unsigned int>(data.size()));
        filter.Final();
        benchmark::DoNotOptimize(filter.output.Data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void OpenSSLCBC(benchmark::State& state) {
    Bytes data = Buffer(state.range(0));
    for (auto _ : state) {
        DES_key_schedule schedule;
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(kKey), &schedule);
        // The padded message in a buffer of its own, as the filter's output.
        const size_t pad = 8 - data.size() % 8;
        Bytes out(data.size() + pad);
        std::memcpy(out.data(), data.data(), data.size());
        std::memset(out.data() + data.size(), static_cast<int>(pad), pad);
        DES_cblock iv;
        std::memcpy(iv, kIV, 8);
        DES_ncbc_encrypt(out.data(), out.data(), static_cast<long>(out.size()), &schedule, &iv,
                         DES_ENCRYPT);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

#define CBC_SIZES Arg(64)->Arg(4096)->Arg(1 << 20)

BENCHMARK(SoftencCBC)->Name("BM_DESCBC_softenc")->CBC_SIZES;
BENCHMARK(OpenSSLCBC)->Name("BM_DESCBC_openssl")->CBC_SIZES;

} // namespace
