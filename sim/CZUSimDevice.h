// A simulated card as the transports see it: an answer to reset and one
// command APDU answered at a time. The in-process reader ("sim..." names)
// and the bridge to the virtual PC/SC reader both drive a card through this.
#pragma once

#include <cstddef>
#include <vector>

class CZUSimDevice {
  public:
    virtual ~CZUSimDevice() = default;
    // Powers the card on (or resets it) and returns its answer to reset.
    virtual std::vector<unsigned char> PowerOn() = 0;
    // Powers the card off; volatile state (selection, challenge) is lost.
    virtual void PowerOff() = 0;
    // Answers one command APDU: response data, then SW1 SW2. Never empty;
    // malformed input gets an ISO/IEC 7816-4 status word.
    virtual std::vector<unsigned char> Process(const unsigned char* apdu, size_t length) = 0;
};
