// Process-wide parts of softenc that belong to no single facility.
#include "softenc.h"
