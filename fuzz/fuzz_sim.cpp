// The simulated devices' APDU parser and handlers on any command sequence,
// each command in a heap block of exactly its length: every answer is a
// status word ISO/IEC 7816-4 defines behind at most 256 data bytes.
#include "FuzzCheck.h"
#include "sim/ZUSim.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kNames[] = {"sim",    "simsam",    "simsb",    "simsbsam",
                                         "sim:t0", "simsam:t0", "simsb:t0", "simsbsam:t0"};
    FuzzedDataProvider in(data, size);
    std::unique_ptr<CZUSimDevice> device = ZUSimCreate(kNames[in.ConsumeIntegralInRange(0, 7)]);
    FUZZ_CHECK(device != nullptr && device->PowerOn().size() <= 33, "no device or a long ATR");
    for (int commands = 0; commands < 64 && in.remaining_bytes() > 0; ++commands) {
        Bytes apdu = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange(0, 270));
        const Bytes answer = device->Process(apdu.empty() ? nullptr : apdu.data(), apdu.size());
        const unsigned char sw1 = answer.size() >= 2 ? answer[answer.size() - 2] : 0;
        FUZZ_CHECK(answer.size() <= 258 && (sw1 == 0x90 || (sw1 >= 0x61 && sw1 <= 0x6F) ||
                                            (sw1 >= 0x91 && sw1 <= 0x9F)),
                   "no status word ISO/IEC 7816-4 defines, or more than 256 data bytes");
    }
    return 0;
}
