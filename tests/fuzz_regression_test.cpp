// Defects the fuzz targets found, each kept as the case that showed it.
#include "support/GuardedBuffer.h"
#include "ZUICRD.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// A transport that fills only the room it is given with the card's ATR but
// reports the ATR's whole length, as a faulty transport may.
class CLongAtrTransport : public CZUTransport {
  public:
    explicit CLongAtrTransport(size_t atrLength) : m_atr(atrLength) {
        for (size_t i = 0; i < atrLength; ++i) {
            m_atr[i] = static_cast<unsigned char>(0x3B + i);
        }
    }
    bool Transmit(const unsigned char*, size_t, unsigned char*, size_t*) override { return false; }
    bool Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) override {
        const size_t written = std::min(atrRoom, m_atr.size());
        if (atr != nullptr && written != 0) {
            std::memcpy(atr, m_atr.data(), written);
        }
        *atrLen = m_atr.size();
        return true;
    }
    bool IsCardPresent() override { return true; }

  private:
    Bytes m_atr;
};

// fuzz_reader: Reset passed the transport's ATR length on unchecked, so a
// caller that reads *atrLen bytes of its buffer read past the room it gave.
TEST(FuzzRegression, ResetNeverReportsMoreAtrThanTheRoom) {
    struct {
        const char* name;
        size_t atrLength;
        unsigned long room;
        bool nullAtr;
        unsigned long reported;
    } cases[] = {
        {"ATR longer than the room", 20, 8, false, 8},
        {"ATR shorter than the room", 5, 8, false, 5},
        {"no buffer for the ATR", 20, 8, true, 0},
        {"no room", 20, 0, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CZUReader reader;
        ASSERT_EQ(1, ZUOpenTransport(reader, std::make_shared<CLongAtrTransport>(c.atrLength)));
        CGuardedBuffer atr(c.room);
        unsigned long atrLen = c.room;
        EXPECT_EQ(1, reader.Reset(c.nullAtr ? nullptr : atr.Data(), &atrLen));
        EXPECT_EQ(c.reported, atrLen);
        for (unsigned long i = 0; i < c.reported; ++i) {
            EXPECT_EQ(0x3B + i, atr.Data()[i]);
        }
    }
}

} // namespace
