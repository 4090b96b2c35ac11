// The simulator's entry points.
#include "sim/ZUSim.h"
#include "ZUICRD.h"
#include "sim/CZUSimRefusal.h"
#include "sim/CZUSimT0Adapter.h"
#include "sim/CZUSimTransport.h"
#include "sim/SimReaderName.h"
#include "sim/SimRegistry.h"

namespace {
std::shared_ptr<CZUTransport> Connect(const char* name, int protocol) {
    return CZUSimTransport::Connect(name, protocol);
}

// Owns the chain of adapters in front of a fresh device.
class CZUSimOwned : public CZUSimDevice {
  public:
    explicit CZUSimOwned(std::shared_ptr<CZUSimDevice> chain) : m_chain(std::move(chain)) {}
    std::vector<unsigned char> PowerOn() override { return m_chain->PowerOn(); }
    void PowerOff() override { m_chain->PowerOff(); }
    std::vector<unsigned char> Process(const unsigned char* apdu, size_t length) override {
        return m_chain->Process(apdu, length);
    }

  private:
    std::shared_ptr<CZUSimDevice> m_chain;
};
} // namespace

void ZUSimRegister() {
    ZURegisterReader("sim", &Connect);
}

std::unique_ptr<CZUSimDevice> ZUSimCreate(const char* name) {
    std::string base;
    SimReaderOptions options;
    if (!SimParseReaderName(name, &base, &options) || options.remove) {
        return nullptr;
    }
    std::unique_ptr<CZUSimDevice> device = SimNewDevice(base);
    if (!device) {
        return nullptr;
    }
    if (!options.t0 && options.refuseAt == 0) {
        return device;
    }
    std::shared_ptr<CZUSimDevice> chain(std::move(device));
    if (options.t0) {
        chain = std::make_shared<CZUSimT0Adapter>(chain);
    }
    if (options.refuseAt != 0) {
        chain = std::make_shared<CZUSimRefusal>(chain, options.refuseAt);
    }
    return std::make_unique<CZUSimOwned>(chain);
}

void ZUSimResetAll() {
    SimForgetSlots();
}
