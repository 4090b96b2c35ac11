// Every operation of the four card classes and both software-assisted secure
// writes, with arguments the input chooses (lengths at and far beyond the
// limits, null pointers, any position) against a card whose answers the
// input chooses too. No operation is modelled; for every call these hold:
// - each command is a short APDU whose length is 4, 5 or 5 plus P3;
// - a call refused before sending returns 0, writes nothing and leaves GetSW
//   at 0000; a null pointer with a non-zero length,
//   or a length beyond any command's reach, is refused so;
// - after an exchange GetSW is the last status word seen, and success means
//   the last command succeeded;
// - no more than the room is copied: AddressSanitizer, respLen <= room.
#include "FuzzTransport.h"
#include "ZUICAPI.h"

#include <memory>

namespace {

std::vector<std::pair<int, unsigned short>> g_log; // result and status word of each command

template <class Card> struct CFuzzCard : public Card {
    int SendCommand(unsigned char* cmd, unsigned long cmdLen, unsigned char* resp,
                    unsigned long* respLen) override {
        FUZZ_CHECK(cmd != nullptr && cmdLen <= 260, "a command beyond the short APDU form");
        FUZZ_CHECK(cmdLen == 4 || cmdLen == 5 || cmdLen == 5UL + cmd[4], "cmdLen is not 5 + P3");
        const unsigned long room = resp != nullptr && respLen != nullptr ? *respLen : 0;
        g_log.push_back({Card::SendCommand(cmd, cmdLen, resp, respLen), this->GetSW()});
        FUZZ_CHECK(respLen == nullptr || *respLen <= room, "more bytes reported than the room");
        return g_log.back().first;
    }
};

// One call's arguments: data or output of len bytes, a second PIN,
// the response room, 16-, 8- and 2-byte blocks; each may be null.
struct Call {
    Call(FuzzedDataProvider& in, bool anyLength) {
        static const unsigned long kEdges[] = {0,   8,   11,  16,  17,  19,     20,      113,
                                               114, 120, 121, 123, 124, 251,    252,     253,
                                               254, 255, 256, 257, 300, 0x8001, 0x10001, ~0UL};
        const int pick = in.ConsumeIntegralInRange(0, 3);
        len = pick == 0   ? in.ConsumeIntegralInRange(0UL, 0x10100UL)
              : pick == 1 ? in.ConsumeIntegralInRange(0UL, 300UL)
                          : kEdges[in.ConsumeIntegralInRange(0, 23)];
        len = anyLength ? len % 4097 : len; // GenerateRandom takes any length
        offset = in.ConsumeBool() ? in.ConsumeIntegralInRange(0x7F00UL, 0x10100UL)
                                  : in.ConsumeIntegral<unsigned long>() % 0x20000;
        for (auto& b : byte) {
            b = in.ConsumeIntegral<unsigned char>();
        }
        respLen = room = in.ConsumeIntegralInRange(0UL, 300UL);
        const unsigned long sizes[] = {
            len > 0x10100 ? 64 : len, in.ConsumeIntegralInRange(0UL, 12UL), room, 16, 8, 2};
        for (size_t i = 0; i < 8; ++i) {
            null[i] = in.ConsumeIntegralInRange(0, 15) == 0;
            size[i] = i < 6 ? sizes[i] : 0;
            buf[i].assign(size[i] + 32, FILL); // 16 guard bytes each side, for builds without ASan
        }
    }
    unsigned char* P(size_t i) { return null[i] ? nullptr : buf[i].data() + 16; }
    unsigned long len, offset, room, respLen;
    unsigned char byte[4];
    int tries = 0;
    bool null[8]; // 6: respLen, 7: no card for the secure writes
    Bytes buf[8];
    size_t size[8];
};

struct Cards {
    CFuzzCard<CZUICAPI> card;
    CFuzzCard<CZUSAMIC> sam;
    CFuzzCard<CZUSBIC> sb;
    CFuzzCard<CZUSBSAMIC> sbsam;
};

#define OP(expr)                                                                                   \
    []([[maybe_unused]] Call& c, [[maybe_unused]] Cards& k, [[maybe_unused]] CZUICAPI& a,          \
       [[maybe_unused]] CZUSAMIC& s) { return (expr); }
#define B0 c.byte[0]
#define B1 c.byte[1]
#define B2 c.byte[2]
#define D c.P(0), c.len
#define R c.P(2), c.null[6] ? nullptr : &c.respLen
// The operations that take no pointer with a length come first, SAM
// operations from 23 on, social-security ones from 28 on.
int (*const kOps[])(Call&, Cards&, CZUICAPI&, CZUSAMIC&) = {
    OP(a.EraseMF()), OP(a.CreateMF(B0, B1, c.P(4))), OP(a.CreateEnd(c.P(5))),
    OP(a.CreateEF(c.P(5), B0, B1, B2, c.byte[3], B0)), OP(a.SelectDF(c.P(5), R)),
    OP(a.SelectEF(c.P(5), R)), OP(a.InternalAuthentication(B0, c.P(4), c.P(4))),
    OP(a.ExternalAuthentication(B0, c.P(4))), OP(a.CreateMF(B0, B1, c.P(4), D)),
    OP(a.CreateADF(c.P(5), B0, B1, D)), OP(a.WriteKey(B0, D)),
    OP(a.WriteKeyWithEncryptionAndMAC(B0, D)), OP(a.SelectDF(D, R)),
    OP(a.ReadBinaryFile(D, c.offset)), OP(a.UpdateBinaryFile(D, c.offset)),
    OP(a.UpdateBinaryFileWithMac(D, c.offset)), OP(a.VerifyPin(D, c.tries)),
    OP(a.ChangePin(D, c.P(1), c.size[1])), OP(a.AppendRecord(D)),
    OP(a.UpdateRecord(static_cast<int>(c.offset) - 0x8000, D)), OP(a.ReadRecord(B0, c.len, c.P(0))),
    OP(a.GenerateRandom(D)),
    OP(UpdateBinaryWithSoftwareMac(c.null[7] ? nullptr : &a, c.P(3), D, c.offset)),
    // The SAM's.
    OP(s.Diversify(B0, B1, c.P(4), c.P(3))), OP(s.InitForDESCrypt(B0, B1, D)),
    OP(s.DESCrypt(B0, D, R)), OP(s.M1AuthAndKeyCalc(B0, B1, D, R)),
    OP(WriteSAMKeyWithSoftwareCalc(c.null[7] ? nullptr : &s, c.P(3), D)),
    // The social-security card's and SAM's.
    OP(k.sb.CreateATRFile(c.P(5), B0, D)),
    OP(k.sb.ReadRecord(B0, B1, B2, c.len, c.P(0), c.byte[3] & 1)),
    OP(k.sb.UpdateRecord(B0, B1, B2, D)), OP(k.sb.UpdateRecord(c.byte[3], B0, B1, B2, D)),
    OP(k.sb.UpdateRecordWithMAC(B0, B1, B2, D)), OP(k.sb.InternalAuthentication(D, c.P(4))),
    OP(k.sb.ExternalAuthentication(B0, D)), OP(k.sbsam.InternalAuthentication(D, c.P(4))),
    OP(k.sbsam.ExternalAuthentication(B0, D)), OP(k.sbsam.ExportKey(B0, B1, D, R))};
const size_t kCount = sizeof kOps / sizeof kOps[0];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    auto transport = std::make_shared<CFuzzTransport>(in);
    Cards k;
    CZUICAPI* any[] = {&k.card, &k.sam, &k.sb, &k.sbsam};
    for (CZUICAPI* card : any) {
        ZUOpenTransport(*card, transport);
    }
    for (int calls = 0; calls < 16 && in.remaining_bytes() != 0; ++calls) {
        const size_t op = in.ConsumeIntegralInRange<size_t>(0, kCount - 1);
        CZUICAPI& a = *any[in.ConsumeIntegralInRange(0, 3)];
        CZUSAMIC& s = in.ConsumeBool() ? static_cast<CZUSAMIC&>(k.sam) : k.sbsam;
        CZUICAPI& carrier = op < 23   ? a
                            : op < 28 ? s
                            : op < 35 ? static_cast<CZUICAPI&>(k.sb)
                                      : k.sbsam;
        Call c(in, op == 21);
        g_log.clear();
        const size_t before = transport->dataBytes;
        const int result = kOps[op](c, k, a, s);
        const bool beyond = op >= 8 && op != 23 &&
                            (c.len > 0x10100 || (c.null[0] && c.len != 0) ||
                             (op == 17 && c.null[1] && c.size[1] != 0));
        FUZZ_CHECK((result == 0 || result == 1) && (!beyond || (result == 0 && g_log.empty())),
                   "a result other than 0 or 1, or input beyond any command not refused");
        // (The secure writes given no card object have no status word to clear.)
        const bool noObject = (op == 22 || op == 27) && c.null[7];
        FUZZ_CHECK(!g_log.empty() || result == 1 ||
                       ((carrier.GetSW() == 0 || noObject) &&
                        std::all_of(c.buf, c.buf + 8, [](const Bytes& b) { return Untouched(b); })),
                   "a call refused before sending wrote, or kept the status word");
        FUZZ_CHECK(g_log.empty() || (carrier.GetSW() == g_log.back().second &&
                                     (result == 0 || g_log.back().first == 1)),
                   "GetSW is not the last status word seen, or success after a failed command");
        size_t written = 0; // no more bytes copied than the card sent
        for (size_t i = 0; i < 8; ++i) {
            FUZZ_CHECK(Untouched(c.buf[i], 16 + c.size[i]) &&
                           std::count(c.buf[i].begin(), c.buf[i].begin() + 16, FILL) == 16,
                       "written outside the caller's buffer");
            written += std::count_if(c.buf[i].begin(), c.buf[i].end(),
                                     [](unsigned char b) { return b != FILL; });
        }
        FUZZ_CHECK(written <= transport->dataBytes - before,
                   "more bytes copied than the card sent");
        FUZZ_CHECK(c.null[6] ||
                       (c.respLen <= c.room && (c.null[2] || Untouched(c.buf[2], 16 + c.respLen))),
                   "respLen beyond the room, or written past it");
    }
    return 0;
}
