// The simulated social-security user card: the general card with
// tag-and-length record files, the answer-to-reset file 2F01 created with a
// body of its own (CreateATRFile), and authentication data of any length.
#ifndef ZU_CZUSIMSBCARD_H
#define ZU_CZUSIMSBCARD_H

#include "sim/CZUSimCard.h"

class CZUSimSBCard : public CZUSimCard {
  public:
    CZUSimSBCard();

  protected:
    bool SupportsType(unsigned char type) const override;
    std::string Name() const override { return "ZUSIM-SB"; }

  private:
    // CREATE FILE: the answer-to-reset file, or what the general card creates.
    CZUSimAnswer CreateFile(const CommandApdu& cmd);
    // 80 E0 02 00: 2F 01, the write condition, then the body the file holds.
    CZUSimAnswer CreateATRFile(const CommandApdu& cmd);
};

#endif
