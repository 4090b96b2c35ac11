// PC/SC transport: one shared connection to one card in one reader.
#include "PCSCTransport.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cstring>

namespace {

DWORD PreferredProtocols(int protocol) {
    switch (protocol) {
    case ZU_PROTOCOL_T0:
        return SCARD_PROTOCOL_T0;
    case ZU_PROTOCOL_T1:
        return SCARD_PROTOCOL_T1;
    default:
        return SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    }
}

std::vector<std::string> ListReaders(SCARDCONTEXT context) {
    std::vector<std::string> names;
    DWORD size = 0;
    if (SCardListReaders(context, nullptr, nullptr, &size) != SCARD_S_SUCCESS || size == 0) {
        return names;
    }
    std::vector<char> multi(size);
    if (SCardListReaders(context, nullptr, multi.data(), &size) != SCARD_S_SUCCESS) {
        return names;
    }
    multi.resize(size);
    multi.push_back('\0');
    for (const char* p = multi.data(); *p != '\0'; p += std::strlen(p) + 1) {
        names.emplace_back(p);
    }
    return names;
}

class CPCSCTransport : public CZUTransport {
  public:
    CPCSCTransport(SCARDCONTEXT context, int protocol)
        : m_context(context), m_preferred(PreferredProtocols(protocol)) {}
    ~CPCSCTransport() override { CPCSCTransport::Close(); }

    bool Connect(const std::string& readerName) {
        Disconnect();
        DWORD active = 0;
        if (SCardConnect(m_context, readerName.c_str(), SCARD_SHARE_SHARED, m_preferred, &m_card,
                         &active) != SCARD_S_SUCCESS) {
            m_card = 0;
            return false;
        }
        m_reader = readerName;
        m_active = active;
        return true;
    }

    bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                  size_t* answerLen) override {
        *answerLen = 0;
        if (m_card == 0) {
            return false;
        }
        const SCARD_IO_REQUEST* pci = (m_active == SCARD_PROTOCOL_T1) ? SCARD_PCI_T1 : SCARD_PCI_T0;
        DWORD received = ZU_MAX_ANSWER;
        LONG rv =
            SCardTransmit(m_card, pci, cmd, static_cast<DWORD>(cmdLen), nullptr, answer, &received);
        if (rv != SCARD_S_SUCCESS || received < 2 || received > ZU_MAX_ANSWER) {
            return false;
        }
        *answerLen = received;
        return true;
    }

    bool Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) override {
        *atrLen = 0;
        if (m_context == 0 || m_reader.empty()) {
            return false;
        }
        DWORD active = 0;
        bool connected =
            m_card != 0 && SCardReconnect(m_card, SCARD_SHARE_SHARED, m_preferred, SCARD_RESET_CARD,
                                          &active) == SCARD_S_SUCCESS;
        if (connected) {
            m_active = active;
        } else {
            // After a removal the old handle is dead: connect afresh.
            std::string reader = m_reader;
            connected = Connect(reader);
        }
        if (!connected) {
            return false;
        }
        unsigned char buffer[MAX_ATR_SIZE];
        DWORD bufferLen = sizeof buffer;
        DWORD state = 0;
        DWORD protocol = 0;
        DWORD nameLen = 0;
        if (SCardStatus(m_card, nullptr, &nameLen, &state, &protocol, buffer, &bufferLen) !=
            SCARD_S_SUCCESS) {
            return false;
        }
        size_t copied = bufferLen < atrRoom ? bufferLen : atrRoom;
        if (atr != nullptr) {
            std::memcpy(atr, buffer, copied);
        }
        *atrLen = copied;
        return true;
    }

    bool IsCardPresent() override {
        if (m_context == 0 || m_reader.empty()) {
            return false;
        }
        SCARD_READERSTATE state{};
        state.szReader = m_reader.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        if (SCardGetStatusChange(m_context, 0, &state, 1) != SCARD_S_SUCCESS) {
            return false;
        }
        return (state.dwEventState & SCARD_STATE_PRESENT) != 0 &&
               (state.dwEventState & SCARD_STATE_MUTE) == 0;
    }

    bool ChangeSlot(int slot) override {
        std::vector<std::string> names = ListReaders(m_context);
        if (slot < 0 || static_cast<size_t>(slot) >= names.size()) {
            Disconnect();
            m_reader.clear();
            return false;
        }
        return Connect(names[static_cast<size_t>(slot)]);
    }

    void Close() override {
        Disconnect();
        m_reader.clear();
        if (m_context != 0) {
            SCardReleaseContext(m_context);
            m_context = 0;
        }
    }

  private:
    void Disconnect() {
        if (m_card != 0) {
            SCardDisconnect(m_card, SCARD_LEAVE_CARD);
            m_card = 0;
        }
    }

    SCARDCONTEXT m_context;
    SCARDHANDLE m_card = 0;
    DWORD m_preferred;
    DWORD m_active = 0;
    std::string m_reader;
};

} // namespace

std::vector<std::string> PCSCListReaders() {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return {};
    }
    std::vector<std::string> names = ListReaders(context);
    SCardReleaseContext(context);
    return names;
}

std::shared_ptr<CZUTransport> PCSCConnect(const char* name, int index, int protocol) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return nullptr;
    }
    auto transport = std::make_shared<CPCSCTransport>(context, protocol);
    std::vector<std::string> names = ListReaders(context);
    const std::string* chosen = nullptr;
    if (name != nullptr) {
        for (const std::string& candidate : names) {
            if (candidate.find(name) != std::string::npos) {
                chosen = &candidate;
                break;
            }
        }
    } else if (index >= 0 && static_cast<size_t>(index) < names.size()) {
        chosen = &names[static_cast<size_t>(index)];
    }
    if (chosen == nullptr || !transport->Connect(*chosen)) {
        return nullptr;
    }
    return transport;
}
