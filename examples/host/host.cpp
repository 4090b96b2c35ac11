// A host program on the installed ZUICAPI: registers the simulated card and
// SAM (ZUICSIM.h), opens the reader named on the command line (default "sim",
// the simulated card in this process; or a PC/SC reader's name), resets the
// card, selects the master file, and computes with softenc the
// secure-messaging DES MAC that a protected UPDATE BINARY to this card would
// carry, on the card's own challenge. Asking for the challenge, it handles the
// reasons a shared reader gives: it tries again after a reset by another
// program, waits for the card to be put back, gives up when the PC/SC
// service is gone.
//
//   zuicapi_host [READER]
//
// Exit status 0 when all went through, 1 when the card refused a command, 2
// when the reader cannot be opened, holds no card or went away.
#include "ZUICAPI.h"
#include "ZUICSIM.h"
#include "softenc.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void PrintHex(const char* label, const unsigned char* data, unsigned long length) {
    std::printf("%s", label);
    for (unsigned long i = 0; i < length; ++i) {
        std::printf(" %02X", data[i]);
    }
    std::printf("\n");
}

int Refused(const char* what, const CZUICAPI& card) {
    const int reason = ZUGetLastError();
    std::fprintf(stderr, "zuicapi_host: %s: %s (SW %04X)\n", what, ZUErrorText(reason),
                 card.GetSW());
    return reason == ZU_E_CARD_REFUSED ? 1 : 2;
}

// Runs one step of the host (a function that selects, verifies and reads or
// writes afresh each time) on a shared reader, and tries again where the
// reason for a 0 says that helps.
template <class Step> int OnSharedReader(CZUICAPI& card, const char* reader, Step step) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (step() == 1) {
            return 1;
        }
        switch (ZUGetLastError()) {
        case ZU_E_CARD_RESET: // another program reset the card: the step starts over
        case ZU_E_TIMEOUT:    // another program held the card past the timeout
            continue;
        case ZU_E_CARD_REMOVED:
        case ZU_E_NO_CARD: {
            std::fprintf(stderr, "put the card back in '%s'\n", reader);
            unsigned long atrLength = 0; // (ZUCancelWait from another thread ends the wait)
            if (ZUWaitForCard(reader, 60000) == 0 || card.Reset(nullptr, &atrLength) == 0) {
                return 0;
            }
            continue;
        }
        case ZU_E_NO_SERVICE:
            std::fprintf(stderr, "restart the smart-card service (pcscd)\n");
            return 0;
        default: // the card refused (GetSW says how), the input was refused, ...
            return 0;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string readerName = argc > 1 ? argv[1] : "sim";
    ZUSimRegister();

    CZUICAPI card;
    if (card.Open(&readerName[0], ZU_PROTOCOL_ANY) == 0) {
        std::string known;
        for (const std::string& name : ZUListPCSCReaders()) {
            known += (known.empty() ? "'" : ", '") + name + "'";
        }
        std::fprintf(stderr,
                     "zuicapi_host: cannot open reader '%s' (no such reader, or no card in it); "
                     "PC/SC readers: %s\n",
                     readerName.c_str(), known.empty() ? "none" : known.c_str());
        return 2;
    }
    std::printf("reader: %s\n", readerName.c_str());

    unsigned char atr[64];
    unsigned long atrLength = sizeof atr;
    if (card.Reset(atr, &atrLength) == 0) {
        std::fprintf(stderr, "zuicapi_host: no card in reader '%s'\n", readerName.c_str());
        return 2;
    }
    PrintHex("ATR:", atr, atrLength);

    unsigned char masterFile[2] = {0x3F, 0x00};
    unsigned char fci[256];
    unsigned long fciLength = sizeof fci;
    if (card.SelectDF(masterFile, fci, &fciLength) == 1) {
        std::printf("master file 3F 00 selected, SW %04X\n", card.GetSW());
        if (fciLength != 0) {
            PrintHex("file control information:", fci, fciLength);
        }
    } else if (card.GetSW() == 0x6A82) {
        // A blank card (the simulated card before it is issued) has none.
        std::printf("no master file yet, SW 6A82: the card is blank\n");
    } else {
        return Refused("SELECT of the master file 3F 00", card);
    }

    // The MAC's initial value: the card's 4-byte challenge, then 00 00 00 00.
    unsigned char iv[8] = {0};
    if (OnSharedReader(card, readerName.c_str(),
                       [&card, &iv] { return card.GenerateRandom(iv, 4); }) == 0) {
        return Refused("GET CHALLENGE", card);
    }
    PrintHex("challenge:", iv, 4);

    // UPDATE BINARY under secure messaging at offset 0 of the current file:
    // header 04 D6 00 00, Lc counting the data and the 4 MAC bytes.
    const unsigned char key[16] = {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47,
                                   0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F};
    const unsigned char data[4] = {0x11, 0x22, 0x33, 0x44};
    std::vector<unsigned char> command = {0x04, 0xD6, 0x00, 0x00, sizeof data + 4};
    command.insert(command.end(), data, data + sizeof data);

    CDESMac mac;
    mac.Init(key, sizeof key, iv);
    mac.Update(command.data(), command.size());
    unsigned char macBytes[4];
    mac.Final(macBytes);
    PrintHex("command:", command.data(), command.size());
    PrintHex("DES MAC (MAC algorithm 3, 16-byte key):", macBytes, sizeof macBytes);
    return 0;
}
