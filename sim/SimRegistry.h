// The simulated devices by base name: fresh ones, and the one device per
// base name that every in-process connection reaches.
#ifndef ZU_SIMREGISTRY_H
#define ZU_SIMREGISTRY_H

#include "sim/CZUSimDevice.h"

#include <memory>
#include <mutex>
#include <string>

// A persistent device and the lock that serialises the connections to it.
struct CZUSimSlot {
    std::mutex lock;
    std::shared_ptr<CZUSimDevice> device;
};

// A blank device for a base name; null when the name is unknown.
std::unique_ptr<CZUSimDevice> SimNewDevice(const std::string& base);
// The process's device for a base name, made blank on first use; null when
// the name is unknown.
std::shared_ptr<CZUSimSlot> SimPersistentSlot(const std::string& base);
// Forgets every persistent device.
void SimForgetSlots();

#endif
