// Every operation of the four card classes and both software-assisted secure
// writes, with arguments the input chooses (lengths at and far beyond the
// limits, null pointers, any position) against a card whose answers the
// input chooses too. No operation is modelled; for every call these hold:
// - each command is a short APDU whose length is 4, 5 or 5 plus P3;
// - a refusal before sending (0 and nothing sent) leaves GetSW at 0000 and
//   the caller's outputs untouched; a null pointer with a non-zero length
//   and a length beyond any command's reach are refused that way;
// - after an exchange GetSW is the last status word seen, and success means
//   the last command succeeded;
// - no more than the room is copied (canaries, AddressSanitizer, respLen).
#include "FuzzTransport.h"
#include "ZUICAPI.h"

#include <memory>

namespace {

struct Sent {
    int result;
    unsigned short sw;
};

template <class Card> class CFuzzCard : public Card {
  public:
    std::vector<Sent> log;
    int SendCommand(unsigned char* cmd, unsigned long cmdLen, unsigned char* resp,
                    unsigned long* respLen) override {
        FUZZ_CHECK(cmd != nullptr && cmdLen <= 260, "a command beyond the short APDU form");
        FUZZ_CHECK(cmdLen == 4 || cmdLen == 5 || cmdLen == 5UL + cmd[4], "cmdLen is not 5 + P3");
        const unsigned long room = resp != nullptr && respLen != nullptr ? *respLen : 0;
        log.push_back({Card::SendCommand(cmd, cmdLen, resp, respLen), this->GetSW()});
        FUZZ_CHECK(respLen == nullptr || *respLen <= room, "more bytes reported than the room");
        return log.back().result;
    }
};

// One call's arguments, all drawn before the call.
struct Call {
    Call(FuzzedDataProvider& in, bool anyLength) {
        static const unsigned long kEdges[] = {
            8,   10,  11,  12,  16,  17,  19,     20,     113,     114,    120,
            121, 123, 124, 128, 129, 247, 248,    251,    252,     253,    254,
            255, 256, 257, 0,   1,   5,   0x8000, 0x8001, 0x10000, 0x10001};
        const int pick = in.ConsumeIntegralInRange<int>(0, 7);
        len = pick < 4   ? kEdges[in.ConsumeIntegralInRange<int>(0, 31)]
              : pick < 6 ? in.ConsumeIntegralInRange<unsigned long>(0, 300)
              : pick < 7 ? in.ConsumeIntegralInRange<unsigned long>(0, 0x10100)
                         : in.ConsumeIntegral<unsigned long>() | 0x100000;
        len2 = in.ConsumeIntegralInRange<unsigned long>(0, 12);
        len = anyLength ? len % 4097 : len; // GenerateRandom takes any length
        far = len > 0x10100;
        for (auto& b : byte) {
            b = in.ConsumeIntegral<unsigned char>();
        }
        offset = in.ConsumeBool() ? in.ConsumeIntegralInRange<unsigned long>(0x7F00, 0x10100)
                                  : in.ConsumeIntegral<unsigned long>() % 0x20000;
        room = in.ConsumeIntegralInRange<unsigned long>(0, 300);
        respLen = room;
        for (size_t i = 0; i < 8; ++i) {
            null[i] = in.ConsumeIntegralInRange<int>(0, 15) == 0;
        }
        buf.emplace_back(new CCanaryBuffer(far ? 64 : len)); // data or output of len
        buf.emplace_back(new CCanaryBuffer(len2));           // the second PIN
        buf.emplace_back(new CCanaryBuffer(room));           // resp
        buf.emplace_back(new CCanaryBuffer(16));             // keys, file ids, blocks
        buf.emplace_back(new CCanaryBuffer(8));              // challenges, answers
        buf.emplace_back(new CCanaryBuffer(2));              // file ids
    }
    unsigned char* P(size_t i) { return null[i] ? nullptr : buf[i]->Data(); }
    unsigned char* D() { return P(0); }
    unsigned char* R() { return P(2); }
    unsigned long* RL() { return null[6] ? nullptr : &respLen; }
    unsigned long len, len2, offset, room, respLen;
    unsigned char byte[4];
    int tries = 1234;
    bool far, null[8]; // null[7]: no card for the secure writes
    std::vector<std::unique_ptr<CCanaryBuffer>> buf;
};

struct Cards {
    CFuzzCard<CZUICAPI> card;
    CFuzzCard<CZUSAMIC> sam;
    CFuzzCard<CZUSBIC> sb;
    CFuzzCard<CZUSBSAMIC> sbsam;
};

typedef int (*Op)(Call&, Cards&, CZUICAPI&, CZUSAMIC&);
#define OP(expr)                                                                                   \
    []([[maybe_unused]] Call& c, [[maybe_unused]] Cards& k, [[maybe_unused]] CZUICAPI& a,          \
       [[maybe_unused]] CZUSAMIC& s) { return (expr); }
#define B0 c.byte[0]
#define B1 c.byte[1]

const Op kOps[] = {
    OP(a.EraseMF()),
    OP(a.CreateMF(B0, B1, c.P(4), c.D(), c.len)),
    OP(a.CreateMF(B0, B1, c.P(4))),
    OP(a.CreateADF(c.P(5), B0, B1, c.D(), c.len)),
    OP(a.CreateEnd(c.P(5))),
    OP(a.CreateEF(c.P(5), B0, B1, c.byte[2], c.byte[3], B0)),
    OP(a.WriteKey(B0, c.D(), c.len)),
    OP(a.WriteKeyWithEncryptionAndMAC(B0, c.D(), c.len)),
    OP(a.SelectDF(c.D(), c.len, c.R(), c.RL())),
    OP(a.SelectDF(c.P(5), c.R(), c.RL())),
    OP(a.SelectEF(c.P(5), c.R(), c.RL())),
    OP(a.ReadBinaryFile(c.D(), c.len, c.offset)),
    OP(a.UpdateBinaryFile(c.D(), c.len, c.offset)),
    OP(a.UpdateBinaryFileWithMac(c.D(), c.len, c.offset)),
    OP(a.VerifyPin(c.D(), c.len, c.tries)),
    OP(a.ChangePin(c.D(), c.len, c.P(1), c.len2)),
    OP(a.AppendRecord(c.D(), c.len)),
    OP(a.UpdateRecord(static_cast<int>(c.offset) - 0x8000, c.D(), c.len)),
    OP(a.ReadRecord(B0, c.len, c.D())),
    OP(a.GenerateRandom(c.D(), c.len)),
    OP(a.InternalAuthentication(B0, c.P(4), c.P(4))),
    OP(a.ExternalAuthentication(B0, c.P(4))),
    OP(s.InitForDESCrypt(B0, B1, c.D(), c.len)),
    OP(s.DESCrypt(B0, c.D(), c.len, c.R(), c.RL())),
    OP(s.M1AuthAndKeyCalc(B0, B1, c.D(), c.len, c.R(), c.RL())),
    OP(s.Diversify(B0, B1, c.P(4), c.P(3))),
    OP(k.sb.CreateATRFile(c.P(5), B0, c.D(), c.len)),
    OP(k.sb.ReadRecord(B0, B1, c.byte[2], c.len, c.D(), c.byte[3] & 1)),
    OP(k.sb.UpdateRecord(B0, B1, c.byte[2], c.D(), c.len)),
    OP(k.sb.UpdateRecord(c.byte[3], B0, B1, c.byte[2], c.D(), c.len)),
    OP(k.sb.UpdateRecordWithMAC(B0, B1, c.byte[2], c.D(), c.len)),
    OP(k.sb.InternalAuthentication(c.D(), c.len, c.P(4))),
    OP(k.sb.ExternalAuthentication(B0, c.D(), c.len)),
    OP(k.sbsam.InternalAuthentication(c.D(), c.len, c.P(4))),
    OP(k.sbsam.ExternalAuthentication(B0, c.D(), c.len)),
    OP(k.sbsam.ExportKey(B0, B1, c.D(), c.len, c.R(), c.RL())),
    OP(UpdateBinaryWithSoftwareMac(c.null[7] ? nullptr : &a, c.P(3), c.D(), c.len, c.offset)),
    OP(WriteSAMKeyWithSoftwareCalc(c.null[7] ? nullptr : &s, c.P(3), c.D(), c.len)),
};
const size_t kCount = sizeof kOps / sizeof kOps[0];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    auto transport = std::make_shared<CFuzzTransport>(in);
    Cards k;
    CZUICAPI* any[] = {&k.card, &k.sam, &k.sb, &k.sbsam};
    CZUSAMIC* sams[] = {&k.sam, &k.sbsam};
    std::vector<Sent>* logs[] = {&k.card.log, &k.sam.log, &k.sb.log, &k.sbsam.log};
    for (CZUICAPI* card : any) {
        ZUOpenTransport(*card, transport);
    }
    for (int calls = 0; calls < 16 && in.remaining_bytes() != 0; ++calls) {
        const size_t op = in.ConsumeIntegralInRange<size_t>(0, kCount - 1);
        CZUICAPI& a = *any[in.ConsumeIntegralInRange<int>(0, 3)];
        CZUSAMIC& s = *sams[in.ConsumeBool()];
        // The card class that carries the operation.
        CZUICAPI& carrier = op >= 26 && op <= 32   ? static_cast<CZUICAPI&>(k.sb)
                            : op >= 33 && op <= 35 ? static_cast<CZUICAPI&>(k.sbsam)
                            : op >= 22 && op != 36 ? static_cast<CZUICAPI&>(s)
                                                   : a;
        Call c(in, op == 19);
        for (auto* log : logs) {
            log->clear();
        }
        const int result = kOps[op](c, k, a, s);
        size_t sent = 0;
        const Sent* last = nullptr;
        for (auto* log : logs) {
            sent += log->size();
            last = log->empty() ? last : &log->back();
        }
        FUZZ_CHECK(result == 0 || result == 1, "a result other than 0 or 1");
        for (auto& b : c.buf) {
            b->CheckCanaries();
        }
        // The operations that take a pointer and a length.
        const bool withLength = op != 0 && op != 2 && op != 4 && op != 5 && op != 9 && op != 10 &&
                                op != 20 && op != 21 && op != 25;
        const bool nullWithLength = (c.null[0] && c.len != 0) || (c.null[1] && c.len2 && op == 15);
        if (withLength && (c.far || nullWithLength)) {
            FUZZ_CHECK(result == 0 && sent == 0, "input beyond any command was not refused");
        }
        if (sent == 0 && result == 0) {
            // The SAM, social-security and secure-write refusals keep the
            // previous status word; the card operations clear it.
            FUZZ_CHECK(op >= 22 || carrier.GetSW() == 0, "GetSW is not 0000 after a refusal");
            for (auto& b : c.buf) {
                FUZZ_CHECK(b->Untouched(), "a refused call wrote");
            }
        }
        if (sent != 0) {
            FUZZ_CHECK(carrier.GetSW() == last->sw, "GetSW is not the last status word seen");
            FUZZ_CHECK(result == 0 || last->result == 1, "success after a failed last command");
        }
        if (c.RL() != nullptr) {
            FUZZ_CHECK(c.respLen <= c.room, "respLen beyond the room offered");
            FUZZ_CHECK(c.R() == nullptr || c.buf[2]->Untouched(c.respLen), "past respLen");
        }
    }
    return 0;
}
