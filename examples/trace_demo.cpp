// Drives a card object through an in-process transport and prints every
// command APDU and the answer it got. The card here is a minimal stand-in
// that accepts everything: it shows the bytes the library puts on the wire.
#include "ZUICAPI.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

void Print(const char* label, const unsigned char* bytes, size_t length) {
    std::printf("%s", label);
    for (size_t i = 0; i < length; ++i) {
        std::printf(" %02X", bytes[i]);
    }
    std::printf("\n");
}

class TracingCard : public CZUTransport {
  public:
    bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                  size_t* answerLen) override {
        Print(">>", cmd, cmdLen);
        size_t n = 0;
        if (cmdLen == 5 && (cmd[1] == 0x84 || cmd[1] == 0xB0 || cmd[1] == 0xB2)) {
            size_t le = cmd[4] == 0 ? 256 : cmd[4];
            for (; n < le; ++n) {
                answer[n] = static_cast<unsigned char>(m_counter++);
            }
        }
        answer[n++] = 0x90;
        answer[n++] = 0x00;
        *answerLen = n;
        Print("<<", answer, n);
        return true;
    }
    bool Reset(unsigned char* atr, size_t room, size_t* atrLen) override {
        static const unsigned char kAtr[] = {0x3B, 0x02, 0x14, 0x50};
        *atrLen = room < sizeof kAtr ? room : sizeof kAtr;
        std::memcpy(atr, kAtr, *atrLen);
        return true;
    }
    bool IsCardPresent() override { return true; }

  private:
    unsigned m_counter = 0;
};

} // namespace

int main() {
    CZUReader reader;
    ZUOpenTransport(reader, std::make_shared<TracingCard>());
    CZUICAPI card(&reader);

    unsigned char mf[2] = {0x3F, 0x00};
    unsigned char ef[2] = {0x00, 0x15};
    unsigned char pin[6] = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36};
    unsigned char data[150];
    for (size_t i = 0; i < sizeof data; ++i) {
        data[i] = static_cast<unsigned char>(i);
    }
    unsigned char challenge[8];
    unsigned char readBack[150];
    int tries = -1;

    std::printf("-- SelectDF 3F00\n");
    int ok = card.SelectDF(mf, nullptr, nullptr);
    std::printf("-- SelectEF 0015\n");
    ok &= card.SelectEF(ef, nullptr, nullptr);
    std::printf("-- VerifyPin\n");
    ok &= card.VerifyPin(pin, sizeof pin, tries);
    std::printf("-- GenerateRandom 8\n");
    ok &= card.GenerateRandom(challenge, sizeof challenge);
    std::printf("-- UpdateBinaryFile 150 bytes at 0\n");
    ok &= card.UpdateBinaryFile(data, sizeof data, 0);
    std::printf("-- ReadBinaryFile 150 bytes at 0\n");
    ok &= card.ReadBinaryFile(readBack, sizeof readBack, 0);
    std::printf("%s\n", ok ? "all commands accepted" : "a command was refused");
    return ok ? 0 : 1;
}
