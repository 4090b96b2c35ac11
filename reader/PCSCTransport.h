// PC/SC transport through pcsc-lite.
#ifndef ZU_PCSCTRANSPORT_H
#define ZU_PCSCTRANSPORT_H

#include "ZUICRD.h"

#include <memory>
#include <string>
#include <vector>

// Names of the PC/SC readers, in the order SCardListReaders gives them.
// Empty when there is no PC/SC service or no reader.
std::vector<std::string> PCSCListReaders();

// Connects to the first reader whose name contains `name` (any reader for an
// empty name), or to the reader at `index` when name is null.
std::shared_ptr<CZUTransport> PCSCConnect(const char* name, int index, int protocol);

#endif
