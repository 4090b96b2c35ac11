// The simulated card's APDU parser and command handlers on arbitrary
// command sequences: any of the four devices, with or without T=0
// answering, fed commands of any length (including truncated headers,
// wrong Lc and oversized commands). Every answer must be a status word
// with at most 256 data bytes in front of it, and the device must never
// read past the command it was given (each command lies in a heap block of
// exactly its length).
#include "common/Bytes.h"
#include "FuzzCheck.h"
#include "sim/ZUSim.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const names[] = {"sim",    "simsam",    "simsb",    "simsbsam",
                                        "sim:t0", "simsam:t0", "simsb:t0", "simsbsam:t0"};
    FuzzedDataProvider input(data, size);
    const char* name = names[input.ConsumeIntegralInRange<size_t>(0, 7)];
    std::unique_ptr<CZUSimDevice> device = ZUSimCreate(name);
    FUZZ_CHECK(device != nullptr, "every simulated reader name gives a device");
    Bytes atr = device->PowerOn();
    FUZZ_CHECK(!atr.empty() && atr.size() <= 33, "an answer to reset of ISO/IEC 7816-3 size");

    for (int commands = 0; commands < 64 && input.remaining_bytes() > 0; ++commands) {
        const unsigned char kind = input.ConsumeIntegral<unsigned char>();
        if (kind == 0xFF) {
            device->PowerOff();
            device->PowerOn();
            continue;
        }
        const size_t length = input.ConsumeIntegralInRange<size_t>(0, 270);
        Bytes bytes = input.ConsumeBytes<unsigned char>(length);
        std::unique_ptr<unsigned char[]> apdu(new unsigned char[bytes.size() + 1]);
        if (!bytes.empty()) {
            std::memcpy(apdu.get(), bytes.data(), bytes.size());
        }
        Bytes answer = device->Process(bytes.empty() ? nullptr : apdu.get(), bytes.size());
        FUZZ_CHECK(answer.size() >= 2, "every command gets a status word");
        FUZZ_CHECK(answer.size() <= 258, "at most 256 data bytes before the status word");
        const unsigned char sw1 = answer[answer.size() - 2];
        FUZZ_CHECK(sw1 == 0x90 || (sw1 >= 0x61 && sw1 <= 0x6F) || (sw1 >= 0x91 && sw1 <= 0x9F),
                   "SW1 is a status ISO/IEC 7816-4 defines");
    }
    return 0;
}
