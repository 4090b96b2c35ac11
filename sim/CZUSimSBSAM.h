// The simulated social-security SAM: the SAM with authentication data of any
// length and key export (80 F6, ExportKey; ZUSim.h).
#ifndef ZU_CZUSIMSBSAM_H
#define ZU_CZUSIMSBSAM_H

#include "sim/CZUSimSAM.h"

class CZUSimSBSAM : public CZUSimSAM {
  public:
    CZUSimSBSAM();

  protected:
    std::string Name() const override { return "ZUSIM-SBSAM"; }

  private:
    CZUSimAnswer ExportKey(const CommandApdu& cmd);
};

#endif
