// One simulated device per base name and process.
#include "sim/SimRegistry.h"
#include "sim/CZUSimCard.h"
#include "sim/CZUSimSAM.h"
#include "sim/CZUSimSBCard.h"
#include "sim/CZUSimSBSAM.h"

#include <map>

namespace {
std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::shared_ptr<CZUSimSlot>>& Slots() {
    static std::map<std::string, std::shared_ptr<CZUSimSlot>> slots;
    return slots;
}
} // namespace

std::unique_ptr<CZUSimDevice> SimNewDevice(const std::string& base) {
    if (base == "sim") {
        return std::make_unique<CZUSimCard>();
    }
    if (base == "simsam") {
        return std::make_unique<CZUSimSAM>();
    }
    if (base == "simsb") {
        return std::make_unique<CZUSimSBCard>();
    }
    if (base == "simsbsam") {
        return std::make_unique<CZUSimSBSAM>();
    }
    return nullptr;
}

std::shared_ptr<CZUSimSlot> SimPersistentSlot(const std::string& base) {
    std::lock_guard<std::mutex> guard(RegistryLock());
    std::shared_ptr<CZUSimSlot>& slot = Slots()[base];
    if (!slot) {
        std::unique_ptr<CZUSimDevice> device = SimNewDevice(base);
        if (!device) {
            Slots().erase(base);
            return nullptr;
        }
        slot = std::make_shared<CZUSimSlot>();
        slot->device = std::move(device);
    }
    return slot;
}

void SimForgetSlots() {
    std::lock_guard<std::mutex> guard(RegistryLock());
    Slots().clear();
}
