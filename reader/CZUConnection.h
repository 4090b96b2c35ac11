// The connection that every copy of a reader object shares: one transport,
// the protocol it was opened with, and whether it is still open.
#ifndef ZU_CZUCONNECTION_H
#define ZU_CZUCONNECTION_H

#include "ZUICRD.h"

#include <memory>

class CZUConnection {
  public:
    CZUConnection(std::shared_ptr<CZUTransport> transport) : m_transport(std::move(transport)) {}
    ~CZUConnection() { Close(); }
    CZUConnection(const CZUConnection&) = delete;
    CZUConnection& operator=(const CZUConnection&) = delete;

    CZUTransport* Transport() const { return m_transport.get(); }
    void Close() {
        if (m_transport) {
            m_transport->Close();
            m_transport.reset();
        }
    }

  private:
    std::shared_ptr<CZUTransport> m_transport;
};

#endif
