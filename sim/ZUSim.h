// The simulated card and SAM inside this tree: what the public ZUICSIM.h
// offers hosts, and the devices themselves for the transports and tests.
#ifndef ZU_SIM_H
#define ZU_SIM_H

#include "ZUICSIM.h"
#include "sim/CZUSimDevice.h"

#include <memory>

// A fresh device for a reader name with its options ("t0" and "refuse=N";
// "remove=N" needs a reader that can take the card away, so such a name gives
// null), null for an unknown name.
std::unique_ptr<CZUSimDevice> ZUSimCreate(const char* name);

#endif
