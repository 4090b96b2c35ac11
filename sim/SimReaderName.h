// Reader names of the simulated devices: a base name ("sim", "simsam",
// "simsb", "simsbsam") and options after a colon ("t0", "remove=N",
// "refuse=N", comma-separated).
#ifndef ZU_SIMREADERNAME_H
#define ZU_SIMREADERNAME_H

#include <cstddef>
#include <string>

struct SimReaderOptions {
    bool t0 = false;
    bool remove = false;
    size_t removeAfter = 0; // commands carried out before the card leaves
    size_t refuseAt = 0;    // the command refused, from 1; 0 none
};

// False for a base name that names no device, an unknown option or a
// malformed count.
bool SimParseReaderName(const char* name, std::string* base, SimReaderOptions* options);

// The base name of slot 0 (the card) or 1 (the SAM) of the family that
// `base` belongs to; empty for another slot.
std::string SimSlotBase(const std::string& base, int slot);

#endif
