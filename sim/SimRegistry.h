// The simulated devices by base name: fresh ones, and the one device per
// base name that every in-process connection reaches.
#ifndef ZU_SIMREGISTRY_H
#define ZU_SIMREGISTRY_H

#include "sim/CZUSimDevice.h"

#include <memory>
#include <mutex>
#include <string>

#include <condition_variable>

// A persistent device and the lock that serialises the connections to it.
// A connection that holds the device (a transaction) is its holder: the
// others' commands wait until it lets go. Every power-on by a reset counts a
// generation, so that the other connections learn that the card's state is
// gone.
struct CZUSimSlot {
    std::mutex lock;
    std::condition_variable released;
    const void* holder = nullptr; // guarded by lock
    unsigned long generation = 0; // guarded by lock
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
