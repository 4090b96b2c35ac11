// T=0 answering in front of any simulated device, as a T=0 card hands its
// answers over: a command with data whose answer has data gets 61 XX and
// the data waits for GET RESPONSE (00 C0 00 00 XX, in pieces if need be); a
// command without data whose answer does not have exactly the Le asked for
// (P3 00 asks for 256) gets 6C XX, and the answer waits for the same command
// with Le = XX. The answer to reset offers T=0 alone.
#ifndef ZU_CZUSIMT0ADAPTER_H
#define ZU_CZUSIMT0ADAPTER_H

#include "sim/CZUSimDevice.h"

#include <memory>

class CZUSimT0Adapter : public CZUSimDevice {
  public:
    explicit CZUSimT0Adapter(std::shared_ptr<CZUSimDevice> card) : m_card(std::move(card)) {}

    std::vector<unsigned char> PowerOn() override;
    void PowerOff() override;
    std::vector<unsigned char> Process(const unsigned char* apdu, size_t length) override;

  private:
    std::shared_ptr<CZUSimDevice> m_card;
    std::vector<unsigned char> m_waiting;      // data for GET RESPONSE
    unsigned char m_resendHeader[4] = {0};     // the command a 6C XX asked again for
    std::vector<unsigned char> m_resendAnswer; // and its answer; empty: none
};

#endif
