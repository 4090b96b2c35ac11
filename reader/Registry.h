// The in-process readers that ZURegisterReader keeps, for the parts of the
// reader layer beside CZUReader.
#ifndef ZU_REGISTRY_H
#define ZU_REGISTRY_H

#include "ZUICRD.h"

// The factory of the first registered prefix that begins name, as Open
// finds it; null when none does (or name is null).
ZUTransportFactory FindRegisteredFactory(const char* name);

#endif
