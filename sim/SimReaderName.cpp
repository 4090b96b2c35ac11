// Reading the simulated readers' names.
#include "sim/SimReaderName.h"

#include <cstring>

namespace {
const size_t LONGEST_COUNT = 9;

bool KnownBase(const std::string& base) {
    return base == "sim" || base == "simsam" || base == "simsb" || base == "simsbsam";
}

bool Count(const std::string& text, size_t* value) {
    if (text.empty() || text.size() > LONGEST_COUNT) {
        return false;
    }
    size_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<size_t>(c - '0');
    }
    *value = result;
    return true;
}
} // namespace

bool SimParseReaderName(const char* name, std::string* base, SimReaderOptions* options) {
    if (name == nullptr) {
        return false;
    }
    const char* colon = std::strchr(name, ':');
    *base = colon == nullptr ? std::string(name) : std::string(name, colon);
    *options = SimReaderOptions();
    if (!KnownBase(*base)) {
        return false;
    }
    if (colon == nullptr) {
        return true;
    }
    std::string rest(colon + 1);
    size_t start = 0;
    for (;;) {
        size_t comma = rest.find(',', start);
        std::string option =
            rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (option == "t0") {
            options->t0 = true;
        } else if (option.compare(0, 7, "remove=") == 0) {
            if (!Count(option.substr(7), &options->removeAfter)) {
                return false;
            }
            options->remove = true;
        } else if (option.compare(0, 7, "refuse=") == 0) {
            if (!Count(option.substr(7), &options->refuseAt) || options->refuseAt == 0) {
                return false;
            }
        } else {
            return false;
        }
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

std::string SimSlotBase(const std::string& base, int slot) {
    const bool social = base.compare(0, 5, "simsb") == 0;
    if (slot == 0) {
        return social ? "simsb" : "sim";
    }
    if (slot == 1) {
        return social ? "simsbsam" : "simsam";
    }
    return std::string();
}
