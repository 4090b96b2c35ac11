// The in-process reader of the simulated devices: a connection to the
// persistent device of a base name, with the connection's options (T=0
// answering, removal after N commands, a refused command).
#ifndef ZU_CZUSIMTRANSPORT_H
#define ZU_CZUSIMTRANSPORT_H

#include "ZUICRD.h"
#include "sim/SimReaderName.h"
#include "sim/SimRegistry.h"

#include <memory>
#include <string>

class CZUSimTransport : public CZUTransport {
  public:
    // Null when the name is unknown or its options contradict the protocol
    // (t0 with ZU_PROTOCOL_T1).
    static std::shared_ptr<CZUSimTransport> Connect(const char* name, int protocol);

    bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                  size_t* answerLen) override;
    bool Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) override;
    bool IsCardPresent() override;
    bool ChangeSlot(int slot) override;
    std::shared_ptr<CZUTransport> OpenSlot(int slot) override;
    void Close() override;
    bool BeginTransaction(unsigned timeoutMs) override;
    void EndTransaction() override;

    CZUSimTransport(const SimReaderOptions& options) : m_options(options) {}

  private:
    // Reaches the persistent device of `base` and powers it on.
    bool Attach(const std::string& base);
    // Whether the connection is open and its card still there; the reason is
    // left when not.
    bool Usable() const;
    // Whether the card left the reader (removal after N commands).
    bool Removed();
    // Waits (slot lock held) until no other connection holds the device;
    // false if one still does after timeoutMs.
    bool WaitForHolder(std::unique_lock<std::mutex>& lock, unsigned timeoutMs) const;
    // Whether another connection reset the card since this one last looked
    // (slot lock held); remembers the new generation.
    bool ResetByOther();

    SimReaderOptions m_options;
    std::string m_base;
    std::shared_ptr<CZUSimSlot> m_slot;
    std::shared_ptr<CZUSimDevice> m_chain; // the options in front of the device
    size_t m_commands = 0;
    unsigned long m_generation = 0;
    bool m_holding = false;
    bool m_removed = false;
    bool m_closed = false;
};

#endif
