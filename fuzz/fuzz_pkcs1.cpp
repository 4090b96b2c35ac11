// The PKCS #1 v1.5 paddings on blocks of any bit length, each in a heap
// block of exactly its size: Unpad undoes Pad; on any block (now and then
// steered towards the format) Unpad returns at most MaxUnpaddedLength
// bytes, the block's last ones, and writes nothing past them.
#include "FuzzCheck.h"
#include "softenc.h"

template <class Padding>
static Bytes Unpad(const Padding& padding, const Bytes& block, unsigned bits) {
    Bytes out(padding.MaxUnpaddedLength(bits), FILL);
    const unsigned got = padding.Unpad(block.data(), bits, out.data());
    FUZZ_CHECK(got <= out.size() && Untouched(out, got), "written past the data");
    FUZZ_CHECK(std::equal(block.end() - got, block.end(), out.begin()),
               "not the block's last bytes");
    return Bytes(out.begin(), out.begin() + got);
}

template <class Padding>
static void Check(FuzzedDataProvider& in, const Padding& padding, unsigned char type) {
    const unsigned bits = in.ConsumeIntegralInRange(0, 2100);
    const Bytes input = in.ConsumeBytes<unsigned char>(
        in.ConsumeIntegralInRange(0u, padding.MaxUnpaddedLength(bits)));
    Bytes block((bits + 7) / 8, FILL);
    CRandomGenerator rng;
    rng.Seed(in.ConsumeIntegral<unsigned>());
    padding.Pad(rng, input.data(), input.size(), block.data(), bits);
    FUZZ_CHECK(bits < 88 || Unpad(padding, block, bits) == input, "Unpad does not undo Pad");
    Bytes any = in.ConsumeBytes<unsigned char>(block.size());
    any.resize(block.size());
    if (any.size() > 1 && in.ConsumeBool()) { // near the format
        any[0] = bits % 8 != 0 ? 0 : type;
        any[1] = bits % 8 != 0 ? type : any[1];
    }
    Unpad(padding, any, bits);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    in.ConsumeBool() ? Check(in, CPKCS1SignaturePadding(), 1)
                     : Check(in, CPKCS1EncryptionPadding(), 2);
    return 0;
}
