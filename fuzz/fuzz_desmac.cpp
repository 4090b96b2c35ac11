// CDESMac over a message in pieces the input chooses gives the MAC of the
// message in one piece, for keys of 0 to 24 bytes with or without an
// initial value; a 16-byte key of equal halves gives the MAC of the half;
// Update after Final is refused. AppendISOPadding pads any length with 80
// and zeros to the next multiple of 8.
#include "FuzzCheck.h"
#include "softenc.h"

static Bytes Mac(const Bytes& key, const Bytes& iv, const Bytes& message, FuzzedDataProvider* in) {
    Bytes mac(4);
    CDESMac engine;
    engine.Init(key.data(), key.size(), iv.size() == 8 ? iv.data() : nullptr);
    for (size_t at = 0, piece; at < message.size(); at += piece) {
        piece = in && in->remaining_bytes()
                    ? in->ConsumeIntegralInRange<size_t>(0, message.size() - at)
                    : message.size() - at;
        const Bytes run(message.begin() + at, message.begin() + at + piece);
        engine.Update(run.data(), piece);
    }
    engine.Final(mac.data());
    FUZZ_CHECK(engine.Update(mac.data(), 1) == 0, "Update taken after Final");
    return mac;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const size_t length = in.ConsumeIntegralInRange(0, 300);
    Bytes padded(length + 8 - length % 8, FILL), expected(padded.size(), 0x00);
    std::fill(expected.begin(), expected.begin() + length, FILL);
    expected[length] = 0x80;
    unsigned long paddedLength = length;
    AppendISOPadding(padded.data(), &paddedLength);
    FUZZ_CHECK(paddedLength == padded.size() && padded == expected, "not padded with 80 and zeros");

    const size_t keyLength = in.ConsumeBool()   ? 8
                             : in.ConsumeBool() ? 16
                                                : in.ConsumeIntegralInRange(0, 24);
    Bytes key = in.ConsumeBytes<unsigned char>(keyLength), iv = in.ConsumeBytes<unsigned char>(8);
    const Bytes message = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange(0, 600));
    FUZZ_CHECK(Mac(key, iv, message, &in) == Mac(key, iv, message, nullptr),
               "pieces change the MAC");
    if (key.size() == 8) {
        const Bytes half = key;
        key.insert(key.end(), half.begin(), half.end());
        FUZZ_CHECK(Mac(key, iv, message, nullptr) == Mac(half, iv, message, nullptr),
                   "equal halves differ");
    }
    return 0;
}
