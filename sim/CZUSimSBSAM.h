// The simulated social-security SAM: the SAM with authentication data of any
// length and key export (80 F6, ZUSim.h).
#ifndef ZU_CZUSIMSBSAM_H
#define ZU_CZUSIMSBSAM_H

#include "sim/CZUSimSAM.h"

class CZUSimSBSAM : public CZUSimSAM {
  protected:
    CZUSimAnswer Dispatch(const CommandApdu& cmd) override;
    bool AnyLengthAuthentication() const override { return true; }
    std::string Name() const override { return "ZUSIM-SBSAM"; }

  private:
    CZUSimAnswer ExportKey(const CommandApdu& cmd);
};

#endif
