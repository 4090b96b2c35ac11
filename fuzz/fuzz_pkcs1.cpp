// CPKCS1EncryptionPadding::Unpad and CPKCS1SignaturePadding::Unpad on any
// block of any bit length, against a plain reading of the PKCS #1 v1.5
// format; and Pad followed by Unpad. Blocks lie in heap blocks of exactly
// their byte length, outputs between canaries in exactly
// MaxUnpaddedLength bytes.
#include "CanaryBuffer.h"
#include "common/Bytes.h"
#include "FuzzCheck.h"
#include "softenc.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// Data length of a valid block, or -1: [00 when the bit length is not a
// multiple of 8] type, at least 8 padding bytes (FF for type 1, any non-zero
// for type 2), 00, at least one data byte.
long Expected(const Bytes& block, unsigned int bits, unsigned char type) {
    const size_t k = bits / 8;
    if (k <= 10) {
        return -1;
    }
    size_t at = 0;
    if (bits % 8 != 0) {
        if (block[0] != 0) {
            return -1;
        }
        at = 1;
    }
    if (block[at] != type) {
        return -1;
    }
    size_t separator = 0;
    for (size_t i = 1; i < k; ++i) {
        const unsigned char b = block[at + i];
        if (b == 0) {
            separator = i;
            break;
        }
        if (type == 0x01 && b != 0xFF) {
            return -1;
        }
    }
    if (separator == 0 || separator - 1 < 8 || separator + 1 == k) {
        return -1;
    }
    return static_cast<long>(k - separator - 1);
}

template <class Padding>
void Unpad(const Padding& padding, unsigned char type, const Bytes& block, unsigned int bits) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[block.size()]);
    if (!block.empty()) {
        std::memcpy(exact.get(), block.data(), block.size());
    }
    const unsigned int most = padding.MaxUnpaddedLength(bits);
    CCanaryBuffer output(most);
    const unsigned int got = padding.Unpad(exact.get(), bits, output.Data());
    output.CheckCanaries();
    const long expected = Expected(block, bits, type);
    FUZZ_CHECK(got == (expected < 0 ? 0 : expected), "Unpad judged the block wrongly");
    FUZZ_CHECK(got <= most, "more data than the block can hold");
    FUZZ_CHECK(got == 0 || std::memcmp(output.Data(), block.data() + block.size() - got, got) == 0,
               "the data are not the block's last bytes");
    FUZZ_CHECK(output.Untouched(got, most), "written past the data");
}

template <class Padding>
void RoundTrip(FuzzedDataProvider& in, const Padding& padding, unsigned char type,
               unsigned int bits) {
    const unsigned int most = padding.MaxUnpaddedLength(bits);
    const Bytes input =
        in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<unsigned int>(0, most));
    std::unique_ptr<unsigned char[]> exact(new unsigned char[input.size()]);
    if (!input.empty()) {
        std::memcpy(exact.get(), input.data(), input.size());
    }
    CRandomGenerator rng;
    rng.Seed(in.ConsumeIntegral<unsigned int>());
    const size_t blockBytes = (bits + 7) / 8;
    CCanaryBuffer block(blockBytes);
    const unsigned int length = static_cast<unsigned int>(input.size());
    padding.Pad(rng, exact.get(), length, block.Data(), bits);
    block.CheckCanaries();
    const size_t k = bits / 8;
    if (k < 2) {
        FUZZ_CHECK(block.Untouched(0, blockBytes), "a block too small to format was written");
        return;
    }
    const unsigned char* p = block.Data();
    if (bits % 8 != 0) {
        FUZZ_CHECK(*p++ == 0, "the leading zero byte is missing");
    }
    FUZZ_CHECK(p[0] == type, "the block type is wrong");
    const size_t separator = k - length - 1;
    for (size_t i = 1; i < separator; ++i) {
        FUZZ_CHECK(type == 0x02 ? p[i] != 0 : p[i] == 0xFF, "a padding byte is wrong");
    }
    FUZZ_CHECK(p[separator] == 0, "the separator is missing");
    FUZZ_CHECK(length == 0 || std::memcmp(p + separator + 1, input.data(), length) == 0,
               "the data are not at the end of the block");
    CCanaryBuffer output(most);
    const Bytes formatted(block.Data(), block.Data() + blockBytes);
    std::unique_ptr<unsigned char[]> again(new unsigned char[blockBytes]);
    std::memcpy(again.get(), formatted.data(), blockBytes);
    const unsigned int got = padding.Unpad(again.get(), bits, output.Data());
    output.CheckCanaries();
    FUZZ_CHECK(got == length, "Unpad does not undo Pad");
    FUZZ_CHECK(got == 0 || std::memcmp(output.Data(), input.data(), got) == 0,
               "Unpad does not return the padded data");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool signature = in.ConsumeBool();
    const bool roundTrip = in.ConsumeBool();
    const unsigned int bits = in.ConsumeIntegralInRange<unsigned int>(0, 2100);
    if (roundTrip) {
        if (signature) {
            RoundTrip(in, CPKCS1SignaturePadding(), 0x01, bits);
        } else {
            RoundTrip(in, CPKCS1EncryptionPadding(), 0x02, bits);
        }
        return 0;
    }
    // Random blocks, steered towards the format now and then.
    Bytes block = in.ConsumeBytes<unsigned char>((bits + 7) / 8);
    block.resize((bits + 7) / 8);
    if (!block.empty() && in.ConsumeBool()) {
        size_t at = 0;
        if (bits % 8 != 0) {
            block[at++] = 0;
        }
        if (at < block.size()) {
            block[at] = signature ? 0x01 : 0x02;
        }
        for (size_t i = at + 1; i < block.size() && signature && block[i] != 0 && i < at + 12;
             ++i) {
            block[i] = 0xFF;
        }
    }
    if (signature) {
        Unpad(CPKCS1SignaturePadding(), 0x01, block, bits);
    } else {
        Unpad(CPKCS1EncryptionPadding(), 0x02, block, bits);
    }
    return 0;
}
