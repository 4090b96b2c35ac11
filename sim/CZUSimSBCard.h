// The simulated social-security user card: the general card with
// tag-and-length record files, the answer-to-reset file 2F01 created with a
// body of its own, and authentication data of any length.
#ifndef ZU_CZUSIMSBCARD_H
#define ZU_CZUSIMSBCARD_H

#include "sim/CZUSimCard.h"

class CZUSimSBCard : public CZUSimCard {
  protected:
    bool AnyLengthAuthentication() const override { return true; }
    bool SupportsType(unsigned char type) const override;
    bool IsATRFile(const unsigned char* fid) const override;
    std::string Name() const override { return "ZUSIM-SB"; }
};

#endif
