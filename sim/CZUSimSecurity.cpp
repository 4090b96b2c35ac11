// The simulated card's security: the key files where keys and PINs are looked
// up, access conditions, PINs, the challenge, MAC checking, authentication
// and key writing.
#include "common/Instructions.h"
#include "sim/CZUSimCard.h"
#include "sim/ZUSim.h"
#include "ZUICSIM.h"

#include <algorithm>
#include <cstring>

CZUSimKey* CZUSimCard::LookUp(const CZUSimFile* from, unsigned char number, bool pin,
                              const void** owner) {
    for (const CZUSimFile* dir = from; dir != nullptr; dir = dir->parent) {
        for (const auto& child : dir->children) {
            if (child->kind != CZUSimFile::ELEMENTARY || child->type != ZUSIM_EF_KEYS) {
                continue;
            }
            CZUSimKey* key = pin ? child->keys.FindPin(number) : child->keys.FindKey(number);
            if (key != nullptr) {
                *owner = &child->keys;
                return key;
            }
        }
    }
    return nullptr;
}

unsigned short CZUSimCard::UsablePin(unsigned char number, CZUSimKey** pin, const void** owner) {
    *pin = LookUp(m_currentDF, number, true, owner);
    if (*pin == nullptr) {
        return SW_DATA_NOT_FOUND;
    }
    return (*pin)->Blocked() ? SW_BLOCKED : SW_OK;
}

unsigned short CZUSimCard::KeyTarget(bool /*secure*/, CZUSimKeyStore** store) {
    CZUSimFile* file = (m_currentEF != nullptr && m_currentEF->type == ZUSIM_EF_KEYS)
                           ? m_currentEF
                           : FirstKeyFile(m_currentDF);
    if (file == nullptr) {
        return SW_FILE_NOT_FOUND;
    }
    // A key file's write condition holds for plain and secure writes alike;
    // secure messaging protects the transfer, it does not stand in for it.
    if (!file->inCreation) {
        unsigned short sw = Condition(file->parent, file->writeCondition, false);
        if (sw != SW_OK) {
            return sw;
        }
    }
    *store = &file->keys;
    return SW_OK;
}

unsigned short CZUSimCard::Condition(const CZUSimFile* from, unsigned char condition,
                                     bool secureMessaging) {
    if (condition == ZUSIM_AC_NEVER) {
        return SW_NOT_ALLOWED;
    }
    const unsigned char number = condition & 0x0F;
    const void* owner = nullptr;
    switch (condition & 0xF0) {
    case ZUSIM_AC_FREE:
        return SW_OK;
    case ZUSIM_AC_PIN:
        if (LookUp(from, number, true, &owner) != nullptr &&
            m_verified.count({owner, number}) != 0) {
            return SW_OK;
        }
        return SW_SECURITY;
    case ZUSIM_AC_AUTH:
        if (LookUp(from, number, false, &owner) != nullptr &&
            m_authenticated.count({owner, number}) != 0) {
            return SW_OK;
        }
        return SW_SECURITY;
    case ZUSIM_AC_SM:
        return secureMessaging ? SW_OK : SW_SECURITY;
    default:
        return SW_NOT_ALLOWED;
    }
}

void CZUSimCard::ForgetPresented(const void* owner, unsigned char number) {
    m_verified.erase({owner, number});
    m_authenticated.erase({owner, number});
}

bool CZUSimCard::TakeChallenge(unsigned char challenge[8]) {
    if (!m_haveChallenge) {
        return false;
    }
    std::memcpy(challenge, m_challenge, sizeof m_challenge);
    m_haveChallenge = false;
    return true;
}

unsigned short CZUSimCard::CheckMac(const CommandApdu& cmd, const SimBytes& key) {
    unsigned char challenge[8];
    if (!TakeChallenge(challenge)) {
        return SW_CONDITIONS;
    }
    const size_t covered = 5 + cmd.lc - MAC_LENGTH; // header with Lc, and the data
    if (!SimMacMatches(key, challenge, cmd.raw, covered, cmd.raw + covered)) {
        return SW_SM_WRONG;
    }
    return SW_OK;
}

unsigned short CZUSimCard::SecureWrite(const CommandApdu& cmd, CZUSimFile& file,
                                       size_t* dataLength) {
    if (cmd.lc < MAC_LENGTH) {
        return SW_WRONG_LENGTH;
    }
    const void* owner = nullptr;
    CZUSimKey* key = LookUp(file.parent, file.writeCondition & 0x0F, false, &owner);
    if (key == nullptr) {
        return SW_DATA_NOT_FOUND;
    }
    if (!key->UseFor(ZUSIM_USE_SECURE_MESSAGING)) {
        return SW_KEY_USAGE;
    }
    unsigned short sw = CheckMac(cmd, key->value);
    if (sw != SW_OK) {
        return sw;
    }
    *dataLength = cmd.lc - MAC_LENGTH;
    return SW_OK;
}

namespace {
// P2 of VERIFY and CHANGE PIN: the PIN number, global (00-1F) or specific
// to the DF (80-9F); both are looked up from the current DF.
bool PinNumber(unsigned char p2, unsigned char* number) {
    if ((p2 & 0x60) != 0) {
        return false;
    }
    *number = p2 & 0x1F;
    return true;
}
} // namespace

CZUSimAnswer CZUSimCard::VerifyPin(const CommandApdu& cmd) {
    unsigned char number = 0;
    if (cmd.p1 != 0x00 || !PinNumber(cmd.p2, &number)) {
        return SimStatus(SW_WRONG_P1P2);
    }
    const void* owner = nullptr;
    CZUSimKey* pin = nullptr;
    const unsigned short sw = UsablePin(number, &pin, &owner);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    if (cmd.lc == 0) { // no PIN: how things stand
        if (m_verified.count({owner, number}) != 0) {
            return SimStatus(SW_OK);
        }
        return SimStatus(static_cast<unsigned short>(SW_TRIES_LEFT | pin->remaining));
    }
    if (!SimSecretMatches(pin->value.data(), pin->value.size(), cmd.data, cmd.lc, LONGEST_PIN)) {
        m_verified.erase({owner, number});
        return SimStatus(pin->Fail());
    }
    pin->remaining = pin->limit;
    m_verified.insert({owner, number});
    return SimStatus(SW_OK);
}

CZUSimAnswer CZUSimCard::ChangePin(const CommandApdu& cmd) {
    unsigned char number = 0;
    if (cmd.p1 != 0x01 || !PinNumber(cmd.p2, &number)) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc == 0) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    const unsigned char* end = cmd.data + cmd.lc;
    const unsigned char* separator = std::find(cmd.data, end, 0xFF);
    if (separator == end) {
        return SimStatus(SW_WRONG_DATA);
    }
    const size_t oldLength = static_cast<size_t>(separator - cmd.data);
    const size_t newLength = static_cast<size_t>(end - separator - 1);
    if (newLength == 0 || newLength > LONGEST_PIN) {
        return SimStatus(SW_WRONG_DATA);
    }
    const void* owner = nullptr;
    CZUSimKey* pin = nullptr;
    const unsigned short sw = UsablePin(number, &pin, &owner);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    if (!SimSecretMatches(pin->value.data(), pin->value.size(), cmd.data, oldLength, LONGEST_PIN)) {
        m_verified.erase({owner, number});
        return SimStatus(pin->Fail());
    }
    pin->value.assign(separator + 1, end);
    pin->remaining = pin->limit;
    m_verified.insert({owner, number});
    return SimStatus(SW_OK);
}

CZUSimAnswer CZUSimCard::GenerateRandom(const CommandApdu& cmd) {
    if (cmd.p1 != 0 || cmd.p2 != 0) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc != 0 || !cmd.hasLe) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    size_t count = cmd.le;
    if (cmd.raw[4] == 0x00) {
        count = BLOCK; // Le 00: as much as there is
    } else if (count > BLOCK) {
        return SimStatus(static_cast<unsigned short>(SW_WRONG_LE | BLOCK));
    }
    std::memset(m_challenge, 0, sizeof m_challenge);
    for (size_t i = 0; i < count; ++i) {
        m_challenge[i] = static_cast<unsigned char>(m_random() & 0xFF);
    }
    m_haveChallenge = true;
    return SimData(m_challenge, count, SW_OK);
}

unsigned short CZUSimCard::AuthenticationKey(unsigned char number, unsigned char usage,
                                             CZUSimKey** key, const void** owner) {
    *key = LookUp(m_currentDF, number, false, owner);
    if (*key == nullptr) {
        return SW_DATA_NOT_FOUND;
    }
    if ((*key)->Blocked()) {
        return SW_BLOCKED;
    }
    if (!(*key)->UseFor(usage)) {
        return SW_KEY_USAGE;
    }
    return SW_OK;
}

CZUSimAnswer CZUSimCard::InternalAuthentication(const CommandApdu& cmd, bool anyLength) {
    if (cmd.p1 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (anyLength ? cmd.lc == 0 : cmd.lc != BLOCK) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    const void* owner = nullptr;
    CZUSimKey* key = nullptr;
    const unsigned short sw = AuthenticationKey(cmd.p2, ZUSIM_USE_INTERNAL_AUTH, &key, &owner);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    unsigned char answer[BLOCK];
    SimAuthCryptogram(key->value, cmd.data, cmd.lc, answer);
    return SimData(answer, sizeof answer, SW_OK);
}

CZUSimAnswer CZUSimCard::ExternalAuthentication(const CommandApdu& cmd, bool anyLength) {
    if (cmd.p1 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (anyLength ? cmd.lc < BLOCK : cmd.lc != BLOCK) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    const void* owner = nullptr;
    CZUSimKey* key = nullptr;
    const unsigned short sw = AuthenticationKey(cmd.p2, ZUSIM_USE_EXTERNAL_AUTH, &key, &owner);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    unsigned char challenge[BLOCK];
    if (!TakeChallenge(challenge)) {
        return SimStatus(SW_CONDITIONS);
    }
    // The challenge, then whatever terminal data come before the cryptogram.
    const size_t terminal = cmd.lc - BLOCK;
    std::vector<unsigned char> input(challenge, challenge + BLOCK);
    input.insert(input.end(), cmd.data, cmd.data + terminal);
    unsigned char expected[BLOCK];
    SimAuthCryptogram(key->value, input.data(), input.size(), expected);
    if (!SimEqual(expected, cmd.data + terminal, BLOCK)) {
        m_authenticated.erase({owner, cmd.p2});
        return SimStatus(key->Fail());
    }
    key->remaining = key->limit;
    m_authenticated.insert({owner, cmd.p2});
    return SimStatus(SW_OK);
}

CZUSimAnswer CZUSimCard::WriteKey(const CommandApdu& cmd) {
    const bool secure = cmd.cla == CLA_PROPRIETARY_SECURE;
    if (cmd.p1 != 0x00 || cmd.p2 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc == 0 ||
        (secure && (cmd.lc < BLOCK + MAC_LENGTH || (cmd.lc - MAC_LENGTH) % BLOCK != 0))) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    CZUSimKeyStore* store = nullptr;
    unsigned short sw = KeyTarget(secure, &store);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    SimBytes record(cmd.data, cmd.data + cmd.lc);
    if (secure) {
        const SimBytes loadingKey(ZUSIM_KEY_LOADING_KEY, ZUSIM_KEY_LOADING_KEY + 16);
        if ((sw = CheckMac(cmd, loadingKey)) != SW_OK) {
            return SimStatus(sw);
        }
        if (!SimUnwrapKeyBlock(loadingKey.data(), cmd.data, cmd.lc - MAC_LENGTH, &record)) {
            return SimStatus(SW_WRONG_DATA);
        }
    }
    if ((sw = MayStoreKey(secure, record)) != SW_OK) {
        return SimStatus(sw);
    }
    sw = store->Store(record.data(), record.size());
    if (sw == SW_OK) {
        ForgetPresented(store, record[0]);
    }
    return SimStatus(sw);
}
