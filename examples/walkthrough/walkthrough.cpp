// Issues a card from blank with ZUICAPI and uses it: erases the card, creates
// the master file, a key file with a PIN and two triple-DES keys, an
// application with a binary file (PIN to read, MAC to write), ends each
// creation, verifies the PIN, writes under a MAC computed in software and
// reads the data back. Prints each step.
//
//   zuicapi_walkthrough [READER]
//
// READER defaults to "sim", the simulated card in this process; any other
// name opens that PC/SC reader (a card there is erased first, whatever it
// held). Exit status 0 when every step went right, 1 otherwise, 2 when the
// reader cannot be opened.
#include "ZUICAPI.h"
#include "ZUICSIM.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

// Prints one step and its outcome; the status word is the card's answer to
// the step's last command (0000: nothing was sent, or no answer came).
bool Step(const char* what, int result, const CZUReader& card) {
    const int reason = ZUGetLastError();
    std::printf("%-58s %s (SW %04X)\n", what, result == 1 ? "ok" : "FAILED", card.GetSW());
    if (result != 1) {
        std::printf("    %s; %s\n", ZUStatusWordText(card.GetSW()), ZUErrorText(reason));
        ++g_failures;
    }
    return result == 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string readerName = argc > 1 ? argv[1] : "sim";
    ZUSimRegister(); // the built-in readers "sim", "simsam", "simsb", "simsbsam"

    CZUICAPI card;
    unsigned char atr[64];
    unsigned long atrLength = sizeof atr;
    if (card.Open(&readerName[0], ZU_PROTOCOL_ANY) == 0 || card.Reset(atr, &atrLength) == 0) {
        std::fprintf(stderr, "zuicapi_walkthrough: cannot open reader '%s' or no card in it\n",
                     readerName.c_str());
        return 2;
    }
    std::printf("reader: %s\n", readerName.c_str());

    unsigned char mf[2] = {0x3F, 0x00};
    unsigned char keyFile[2] = {0x00, 0x01};
    unsigned char app[2] = {0xDF, 0x01};
    unsigned char binary[2] = {0x01, 0x01};
    unsigned char appName[] = "ZUSIM.APP1";
    unsigned char serial[8] = {0x20, 0x26, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34};
    const unsigned char authKey[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                       0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
    const unsigned char smKey[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                     0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
    const unsigned char smKeyNo = 0x02;

    // 1. Erase: 80 0E 00 00 02 3F 00, with the erase key when the card
    //    asks for it. A blank card answers 90 00 too.
    Step("erase the card's file system", card.EraseMF(), card) &&
        // 2. The master file: 80 E0 00 00 0A, access to create (00: free),
        //    02, then the 8-byte block (here the card's serial number).
        Step("create the master file 3F00", card.CreateMF(ZUSIM_AC_FREE, 0x02, serial), card) &&
        // 3. The key file 0001: 80 E0 02 00 07 00 01, type 05 (keys), 00 08
        //    records, read never (FF), write after PIN 0 (10).
        Step("create the key file 0001",
             card.CreateEF(keyFile, ZUSIM_EF_KEYS, 0x00, 8, ZUSIM_AC_NEVER, ZUSIM_AC_PIN | 0),
             card);
    if (g_failures == 0) {
        // 4. Key records through WRITE KEY 80 D4 00 00: PIN 0 is 00 08
        //    (PIN) 03 (tries) then the digits; a two-key triple-DES key is
        //    its number, 02, 00 and the 16 key bytes.
        const unsigned char pin[] = {0x00, ZUSIM_KEY_PIN, 3, '1', '2', '3', '4'};
        std::vector<unsigned char> auth = ZUSimTdes2KeyRecord(0x01, authKey);
        std::vector<unsigned char> sm = ZUSimTdes2KeyRecord(smKeyNo, smKey);
        Step("write PIN 0 (1234, 3 tries)", card.WriteKey(0x00, pin, sizeof pin), card) &&
            Step("write authentication key 01", card.WriteKey(0x00, auth.data(), auth.size()),
                 card) &&
            Step("write secure-messaging key 02", card.WriteKey(0x00, sm.data(), sm.size()),
                 card) &&
            // 5. 80 EA 00 01 00 ends the key file's creation.
            Step("end the key file's creation", card.CreateEnd(keyFile), card) &&
            // 6. The application DF01: 80 E0 01 00 0E DF 01 00 00 and its name.
            Step("create application DF01 \"ZUSIM.APP1\"",
                 card.CreateADF(app, ZUSIM_AC_FREE, 0x00, appName, sizeof appName - 1), card) &&
            // 7. Binary file 0101 of 1024 bytes (04 00): read after PIN 0
            //    (10), write with a MAC under key 02 (32).
            Step("create binary file 0101 (PIN to read, MAC to write)",
                 card.CreateEF(binary, (1 << 3) | ZUSIM_EF_BINARY, 0x04, 0x00, ZUSIM_AC_PIN | 0,
                               ZUSIM_AC_SM | smKeyNo),
                 card) &&
            Step("end the binary file's creation", card.CreateEnd(binary), card) &&
            Step("end the application's creation", card.CreateEnd(app), card) &&
            // 8. The master file's creation ends last, with it selected.
            Step("select the master file", card.SelectDF(mf, nullptr, nullptr), card) &&
            Step("end the master file's creation", card.CreateEnd(mf), card);
    }
    if (g_failures == 0) {
        // 9. Use the card: select by name (00 A4 04 00), then the file.
        const unsigned char pin[] = {'1', '2', '3', '4'};
        int tries = -1;
        unsigned char data[32];
        for (unsigned i = 0; i < sizeof data; ++i) {
            data[i] = static_cast<unsigned char>(i * 7 + 3);
        }
        unsigned char back[sizeof data] = {0};
        Step("select the application by name",
             card.SelectDF(appName, sizeof appName - 1, nullptr, nullptr), card) &&
            Step("select the binary file 0101", card.SelectEF(binary, nullptr, nullptr), card) &&
            // 10. VERIFY 00 20 00 00 04 31 32 33 34.
            Step("verify PIN 0", card.VerifyPin(pin, sizeof pin, tries), card) &&
            // 11. GET CHALLENGE 00 84 00 00 04, then 04 D6 00 00 24, the 32
            //     bytes and a 4-byte MAC over the header and data, with the
            //     challenge and 00 00 00 00 as initial value.
            Step("write 32 bytes with a MAC computed in software",
                 UpdateBinaryWithSoftwareMac(&card, smKey, data, sizeof data, 0), card) &&
            // 12. READ BINARY 00 B0 00 00 20.
            Step("read the 32 bytes back", card.ReadBinaryFile(back, sizeof back, 0), card);
        bool same = std::memcmp(data, back, sizeof data) == 0;
        std::printf("%-58s %s\n", "the data read back is the data written", same ? "ok" : "FAILED");
        if (!same) {
            ++g_failures;
        }
    }
    card.Close();
    std::printf(g_failures == 0 ? "card issued\n" : "FAILED\n");
    return g_failures == 0 ? 0 : 1;
}
