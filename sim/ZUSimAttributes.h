// The simulated card operating system's conventions (CREATE FILE attribute
// bytes, key records, access conditions) are part of the public ZUICSIM.h.
#ifndef ZU_SIMATTRIBUTES_H
#define ZU_SIMATTRIBUTES_H

#include "ZUICSIM.h"

#endif
