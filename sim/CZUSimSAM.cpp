// The simulated SAM's key table and commands.
#include "sim/CZUSimSAM.h"
#include "common/Instructions.h"
#include "common/StatusWords.h"
#include "sim/ZUSim.h"
#include "ZUICSIM.h"
#include "softenc.h"

#include <cstring>
#include <functional>

namespace {
const size_t TABLE_ROOM = 32;
const size_t BLOCK = 8;
const size_t LONGEST_DATA = 248;

void Preload(CZUSimKeyStore& keys, unsigned char number, unsigned char kind,
             const unsigned char* value, size_t length) {
    SimBytes record(3 + length);
    record[0] = number;
    record[1] = kind;
    record[2] = 0x00; // no error counter
    std::memcpy(record.data() + 3, value, length);
    keys.Store(record.data(), record.size());
}
} // namespace

CZUSimSAM::CZUSimSAM() : m_keys(TABLE_ROOM) {
    Preload(m_keys, ZUSIM_SAM_MASTER_KEY_NUMBER, ZUSIM_KEY_TDES2, ZUSIM_SAM_MASTER_KEY,
            sizeof ZUSIM_SAM_MASTER_KEY);
    Preload(m_keys, ZUSIM_SAM_TRANSPORT_KEY_NUMBER, ZUSIM_KEY_TDES2 | ZUSIM_USE_KEY_LOADING,
            ZUSIM_SAM_TRANSPORT_KEY, sizeof ZUSIM_SAM_TRANSPORT_KEY);
    Preload(m_keys, ZUSIM_SAM_DES_KEY_NUMBER, ZUSIM_KEY_DES, ZUSIM_SAM_DES_KEY,
            sizeof ZUSIM_SAM_DES_KEY);
    // The SAM's own commands; in any other class their instruction bytes are
    // unknown.
    using namespace std::placeholders;
    Commands().Set(CLA_PROPRIETARY, INS_INIT_FOR_DES_CRYPT,
                   std::bind(&CZUSimSAM::InitForDESCrypt, this, _1), SW_INS_UNKNOWN);
    Commands().Set(CLA_PROPRIETARY, INS_DES_CRYPT, std::bind(&CZUSimSAM::DESCrypt, this, _1),
                   SW_INS_UNKNOWN);
    Commands().Set(CLA_PROPRIETARY, INS_M1_AUTH_AND_KEY_CALC,
                   std::bind(&CZUSimSAM::M1AuthAndKeyCalc, this, _1), SW_INS_UNKNOWN);
}

void CZUSimSAM::ForgetSession() {
    CZUSimCard::ForgetSession();
    m_prepared.clear();
}

CZUSimKey* CZUSimSAM::LookUp(const CZUSimFile*, unsigned char number, bool pin,
                             const void** owner) {
    *owner = &m_keys;
    return pin ? m_keys.FindPin(number) : m_keys.FindKey(number);
}

unsigned short CZUSimSAM::KeyTarget(bool, CZUSimKeyStore** store) {
    *store = &m_keys;
    return SW_OK;
}

unsigned short CZUSimSAM::MayStoreKey(bool secure, const SimBytes& record) {
    if (!secure) {
        return SW_SECURITY; // keys come into a SAM under secure messaging only
    }
    const unsigned char number = record.empty() ? 0 : record[0];
    const bool isKey = record.size() > 1 && (record[1] & 0x0F) != ZUSIM_KEY_PIN;
    if (isKey && (number == ZUSIM_SAM_MASTER_KEY_NUMBER ||
                  number == ZUSIM_SAM_TRANSPORT_KEY_NUMBER || number == ZUSIM_SAM_DES_KEY_NUMBER)) {
        return SW_NOT_ALLOWED; // the issuer's keys stay as the SAM was made
    }
    if (isKey && (record[1] & 0xF0) == ZUSIM_USE_KEY_LOADING) {
        return SW_NOT_ALLOWED; // a wrapping key the caller knew would open exports
    }
    return SW_OK;
}

CZUSimAnswer CZUSimSAM::InitForDESCrypt(const CommandApdu& cmd) {
    if (cmd.lc % BLOCK != 0) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    m_prepared.clear();
    CZUSimKey* key = m_keys.FindKey(cmd.p1);
    if (key == nullptr) {
        return SimStatus(SW_DATA_NOT_FOUND);
    }
    if (cmd.p2 != 0x00 && cmd.p2 != key->kind) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (key->usage == ZUSIM_USE_KEY_LOADING) {
        return SimStatus(SW_KEY_USAGE); // it would unwrap exported keys
    }
    SimBytes prepared(key->value.size());
    if (DiversifyKeyChain(key->value.data(), key->value.size(), cmd.data, cmd.lc,
                          prepared.data()) == 0) {
        return SimStatus(SW_WRONG_DATA);
    }
    m_prepared = prepared;
    return SimStatus(SW_OK);
}

CZUSimAnswer CZUSimSAM::DESCrypt(const CommandApdu& cmd) {
    if (cmd.p1 > 0x01 || cmd.p2 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc == 0 || cmd.lc % BLOCK != 0 || cmd.lc > LONGEST_DATA) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    if (m_prepared.empty()) {
        return SimStatus(SW_CONDITIONS);
    }
    SimBytes out(cmd.lc);
    if (cmd.p1 == 0x00) {
        SimEncrypt(m_prepared, cmd.data, out.data(), cmd.lc);
    } else {
        SimDecrypt(m_prepared, cmd.data, out.data(), cmd.lc);
    }
    m_prepared.clear(); // each computation is prepared afresh
    return SimData(out, SW_OK);
}

CZUSimAnswer CZUSimSAM::M1AuthAndKeyCalc(const CommandApdu& cmd) {
    if (cmd.p2 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc != 2 * BLOCK) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    CZUSimKey* key = m_keys.FindKey(cmd.p1);
    if (key == nullptr) {
        return SimStatus(SW_DATA_NOT_FOUND);
    }
    if (key->value.size() != 16) {
        return SimStatus(SW_CONDITIONS);
    }
    if (key->usage == ZUSIM_USE_KEY_LOADING) {
        return SimStatus(SW_KEY_USAGE);
    }
    SimBytes cardKey(16);
    DiversifyKey(key->value.data(), cmd.data, cardKey.data());
    unsigned char cryptogram[BLOCK];
    SimEncrypt(cardKey, cmd.data + BLOCK, cryptogram, BLOCK);
    return SimData(cryptogram, BLOCK, SW_OK);
}
