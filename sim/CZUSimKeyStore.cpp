// Key records: validation, storage and the try counters.
#include "sim/CZUSimKeyStore.h"
#include "common/StatusWords.h"
#include "ZUICSIM.h"

namespace {
const size_t RECORD_HEADER = 3; // number, kind, limit
const size_t LONGEST_PIN = 8;
const unsigned char MOST_TRIES = 15;
} // namespace

bool CZUSimKey::IsPin() const {
    return kind == ZUSIM_KEY_PIN;
}

bool CZUSimKey::UseFor(unsigned char wanted) {
    if (usage == ZUSIM_USE_UNSTATED) {
        usage = wanted;
    }
    return usage == wanted;
}

unsigned short CZUSimKey::Fail() {
    if (limit == 0) {
        return SW_VERIFY_FAILED;
    }
    if (remaining > 0) {
        --remaining;
    }
    return static_cast<unsigned short>(SW_TRIES_LEFT | remaining);
}

CZUSimKey* CZUSimKeyStore::Find(unsigned char number, bool pin) {
    for (CZUSimKey& key : m_keys) {
        if (key.number == number && key.IsPin() == pin) {
            return &key;
        }
    }
    return nullptr;
}

CZUSimKey* CZUSimKeyStore::FindKey(unsigned char number) {
    return Find(number, false);
}

CZUSimKey* CZUSimKeyStore::FindPin(unsigned char number) {
    return Find(number, true);
}

unsigned short CZUSimKeyStore::Store(const unsigned char* record, size_t length) {
    if (record == nullptr || length <= RECORD_HEADER) {
        return SW_WRONG_DATA;
    }
    CZUSimKey key;
    key.number = record[0];
    key.kind = record[1] & 0x0F;
    key.usage = record[1] & 0xF0;
    if (key.usage > ZUSIM_USE_KEY_LOADING || (key.kind == ZUSIM_KEY_PIN && key.usage != 0)) {
        return SW_WRONG_DATA;
    }
    key.limit = record[2];
    key.value.assign(record + RECORD_HEADER, record + length);
    const size_t valueLength = key.value.size();
    switch (key.kind) {
    case ZUSIM_KEY_DES:
        if (valueLength != 8 || key.limit > MOST_TRIES) {
            return SW_WRONG_DATA;
        }
        break;
    case ZUSIM_KEY_TDES2:
        if (valueLength != 16 || key.limit > MOST_TRIES) {
            return SW_WRONG_DATA;
        }
        break;
    case ZUSIM_KEY_PIN:
        if (valueLength > LONGEST_PIN || key.limit == 0 || key.limit > MOST_TRIES) {
            return SW_WRONG_DATA;
        }
        break;
    default:
        return SW_WRONG_DATA;
    }
    key.remaining = key.limit;
    if (CZUSimKey* existing = Find(key.number, key.IsPin())) {
        *existing = key;
        return SW_OK;
    }
    if (m_keys.size() >= m_capacity) {
        return SW_NO_SPACE;
    }
    m_keys.push_back(key);
    return SW_OK;
}
