// CZUICAPI: construction and copying, and the library's load entry.
#include "card/CardClass.h"
#include "ZUICAPI.h"

ZU_DEFINE_CARD_MEMBERS(CZUICAPI, CZUReader)

#if defined(_WIN32)
#include <windows.h>
// The library's load and unload entry: nothing to set up or tear down.
BOOL APIENTRY DllMain(HMODULE, DWORD, LPVOID) {
    return TRUE;
}
#endif
