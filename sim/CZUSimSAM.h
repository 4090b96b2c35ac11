// The simulated SAM: the general card's operating system with a key table
// of its own, holding the issuer's keys from the start (ZUSim.h), and the
// SAM commands 80 1A (InitForDESCrypt: prepare a key), 80 FA (DESCrypt:
// compute with it) and 80 FC (M1AuthAndKeyCalc: the authentication
// cryptogram for a diversified card key).
#ifndef ZU_CZUSIMSAM_H
#define ZU_CZUSIMSAM_H

#include "sim/CZUSimCard.h"

class CZUSimSAM : public CZUSimCard {
  public:
    CZUSimSAM();

  protected:
    CZUSimKey* LookUp(const CZUSimFile* from, unsigned char number, bool pin,
                      const void** owner) override;
    unsigned short KeyTarget(bool secure, CZUSimKeyStore** store) override;
    unsigned short MayStoreKey(bool secure, const SimBytes& record) override;
    std::string Name() const override { return "ZUSIM-SAM"; }
    void ForgetSession() override;

    CZUSimKeyStore& Keys() { return m_keys; }

  private:
    CZUSimAnswer InitForDESCrypt(const CommandApdu& cmd);
    CZUSimAnswer DESCrypt(const CommandApdu& cmd);
    CZUSimAnswer M1AuthAndKeyCalc(const CommandApdu& cmd);

    CZUSimKeyStore m_keys;
    SimBytes m_prepared; // empty: no key prepared
};

#endif
