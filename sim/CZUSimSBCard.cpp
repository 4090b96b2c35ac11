// The social-security user card's own file types.
#include "sim/CZUSimSBCard.h"
#include "sim/ZUSimAttributes.h"

bool CZUSimSBCard::SupportsType(unsigned char type) const {
    return type == ZUSIM_EF_TLV || CZUSimCard::SupportsType(type);
}

bool CZUSimSBCard::IsATRFile(const unsigned char* fid) const {
    return fid[0] == 0x2F && fid[1] == 0x01;
}
