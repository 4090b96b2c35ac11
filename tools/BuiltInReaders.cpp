#include "BuiltInReaders.h"

#if defined(ZUIC_HAVE_SIM)
#include "sim/ZUSim.h"
#endif

namespace zuic {

void RegisterBuiltInReaders() {
#if defined(ZUIC_HAVE_SIM)
    ZUSimRegister();
#endif
}

const std::vector<BuiltInReader>& BuiltInReaders() {
#if defined(ZUIC_HAVE_SIM)
    static const std::vector<BuiltInReader> readers = {
        {"sim", "simulated card"},
        {"simsam", "simulated SAM"},
        {"simsb", "simulated social-security card"},
        {"simsbsam", "simulated social-security SAM"},
    };
#else
    static const std::vector<BuiltInReader> readers;
#endif
    return readers;
}

} // namespace zuic
