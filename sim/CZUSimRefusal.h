// A refused command on demand: the Nth command (1 for the first) that
// reaches the device is not carried out and gets 6F 00; every other goes to
// the card unchanged.
#ifndef ZU_CZUSIMREFUSAL_H
#define ZU_CZUSIMREFUSAL_H

#include "sim/CZUSimDevice.h"

#include <memory>

class CZUSimRefusal : public CZUSimDevice {
  public:
    CZUSimRefusal(std::shared_ptr<CZUSimDevice> card, size_t position)
        : m_card(std::move(card)), m_position(position) {}

    std::vector<unsigned char> PowerOn() override { return m_card->PowerOn(); }
    void PowerOff() override { m_card->PowerOff(); }
    std::vector<unsigned char> Process(const unsigned char* apdu, size_t length) override;

  private:
    std::shared_ptr<CZUSimDevice> m_card;
    size_t m_position;
    size_t m_count = 0;
};

#endif
