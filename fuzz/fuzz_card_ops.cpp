// Every card operation of the four card classes and both software-assisted
// secure writes, with arguments the fuzz input chooses (lengths around and
// far beyond each operation's limit, null pointers, any binary position)
// against a card whose answers the input chooses too (see FuzzTransport.h).
//
// For every call it checks that
// - no command is longer than the operation's command buffer allows, and
//   each is a well-formed short APDU (FuzzCard.h);
// - a call the operation must refuse returns 0 and sends nothing;
// - the caller's buffers are written only within what was asked for
//   (canaries around them, AddressSanitizer beyond), and with what the card
//   sent where the operation copies an answer;
// - the input buffers are read only within their lengths (each is a heap
//   block of exactly that size).
#include "CanaryBuffer.h"
#include "common/Bytes.h"
#include "FuzzCard.h"
#include "FuzzCheck.h"
#include "FuzzTransport.h"
#include "ZUICAPI.h"
#include "softenc.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// Longer than any transfer an operation may accept: buffers up to this are
// real, longer lengths get a short block that the operation must refuse
// before it reads or writes far.
const unsigned long kLargestBuffer = 70000;
const unsigned long kShortBlock = 64;

typedef std::vector<FuzzCommand> Log;

enum Verdict {
    REFUSED,        // 0, nothing sent
    SENT,           // at least one command
    NOTHING_TO_SEND // 1, nothing sent (a transfer of no bytes)
};

struct Expect {
    Verdict verdict;
    unsigned long longest; // longest command the operation's buffer allows
    size_t most;           // most commands one call may send
    bool single;           // one command whose result is the operation's
};

void CheckCommands(const Expect& expect, int result, const Log& log) {
    FUZZ_CHECK(result == 0 || result == 1, "an operation returned neither 0 nor 1");
    switch (expect.verdict) {
    case REFUSED:
        FUZZ_CHECK(result == 0, "input beyond the limits was not refused");
        FUZZ_CHECK(log.empty(), "a refused call sent a command");
        return;
    case NOTHING_TO_SEND:
        FUZZ_CHECK(result == 1 && log.empty(), "an empty transfer sent a command or failed");
        return;
    case SENT:
        FUZZ_CHECK(!log.empty(), "a call within the limits sent nothing");
        break;
    }
    FUZZ_CHECK(log.size() <= expect.most, "more commands than the operation sends");
    for (const FuzzCommand& command : log) {
        FUZZ_CHECK(command.apdu.size() <= expect.longest, "a command longer than its buffer");
    }
    if (expect.single) {
        FUZZ_CHECK(log.size() == 1 && result == log[0].result,
                   "a single command's result was not passed on");
    }
}

// A length for an operation whose largest legitimate value is `limit`: the
// edges of the limit, small values, and values whose low bits look
// legitimate although the whole does not fit (256 + n, 2^32 + n).
unsigned long PickLength(FuzzedDataProvider& in, unsigned long limit) {
    static const unsigned long kFar[] = {
        255, 256, 257, 0x7FFF, 0x8000, 0x8001, 0xFFFF, 0x10000, 0x10001, 0xFFFFFFFFUL,
    };
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        return 0;
    case 1:
        return limit;
    case 2:
        return limit + 1;
    case 3:
        return kFar[in.ConsumeIntegralInRange<size_t>(0, sizeof kFar / sizeof kFar[0] - 1)];
    case 4:
        return 0x100000000UL + in.ConsumeIntegralInRange<unsigned long>(0, limit);
    case 5:
        return 256 + in.ConsumeIntegralInRange<unsigned long>(0, limit);
    case 6:
        return in.ConsumeIntegralInRange<unsigned long>(0, 300);
    default:
        return in.ConsumeIntegralInRange<unsigned long>(0, limit + 2);
    }
}

// Bytes a caller hands an operation: exactly `length` of them in their own
// heap block (for no bytes, a block of size 0 that may not be touched, so
// that the pointer is not null), or a short block for lengths no operation
// may accept, or null.
class CCallerData {
  public:
    CCallerData(FuzzedDataProvider& in, unsigned long length, bool mayBeNull = true)
        : m_null(mayBeNull && in.ConsumeIntegralInRange<int>(0, 15) == 0),
          m_bytes(length <= kLargestBuffer ? length : kShortBlock), m_empty(new unsigned char[0]) {
        const unsigned char seed = in.ConsumeIntegral<unsigned char>();
        for (size_t i = 0; i < m_bytes.size(); ++i) {
            m_bytes[i] = static_cast<unsigned char>(seed + i * 13);
        }
    }
    unsigned char* Ptr() {
        if (m_null) {
            return nullptr;
        }
        return m_bytes.empty() ? m_empty.get() : m_bytes.data();
    }
    bool Null() const { return m_null; }
    // Whether `length` bytes of it match bytes [from, from + length) of apdu.
    bool SentAt(const Bytes& apdu, size_t at, size_t from, size_t length) const {
        return apdu.size() >= at + length && from + length <= m_bytes.size() &&
               (length == 0 || std::memcmp(apdu.data() + at, m_bytes.data() + from, length) == 0);
    }

  private:
    bool m_null;
    Bytes m_bytes;
    std::unique_ptr<unsigned char[]> m_empty;
};

// A caller's output of `size` bytes between canaries, or null.
class COutput {
  public:
    COutput(FuzzedDataProvider& in, unsigned long size, bool mayBeNull = true)
        : m_null(mayBeNull && in.ConsumeIntegralInRange<int>(0, 15) == 0),
          m_buffer(size <= kLargestBuffer ? size : kShortBlock) {}
    unsigned char* Ptr() { return m_null ? nullptr : m_buffer.Data(); }
    bool Null() const { return m_null; }
    CCanaryBuffer& Buffer() { return m_buffer; }
    // Bytes [at, at + bytes.size()) hold bytes, and nothing else was written
    // in [at, to).
    void CheckHolds(size_t at, const Bytes& bytes, size_t to) const {
        FUZZ_CHECK(at + bytes.size() <= m_buffer.Size(), "an answer copied past what was asked");
        FUZZ_CHECK(bytes.empty() ||
                       std::memcmp(m_buffer.Data() + at, bytes.data(), bytes.size()) == 0,
                   "the caller's buffer does not hold the card's answer");
        FUZZ_CHECK(m_buffer.Untouched(at + bytes.size(), to), "bytes written the card never sent");
    }

  private:
    bool m_null;
    CCanaryBuffer m_buffer;
};

// The resp, respLen pair of an operation that hands both to the reader:
// either may be null; the room is any, up to what the reader can deliver.
class CResponse {
  public:
    explicit CResponse(FuzzedDataProvider& in)
        : m_room(in.ConsumeIntegralInRange<int>(0, 7) != 0
                     ? in.ConsumeIntegralInRange<unsigned long>(0, 300)
                     : in.ConsumeIntegralInRange<unsigned long>(0, kLargestBuffer)),
          m_length(m_room), m_hasLength(in.ConsumeIntegralInRange<int>(0, 7) != 0),
          m_output(in, m_room) {}
    unsigned char* Resp() { return m_output.Ptr(); }
    unsigned long* RespLen() { return m_hasLength ? &m_length : nullptr; }

    void Check(const Log& log) {
        m_output.Buffer().CheckCanaries();
        if (m_output.Null() || !m_hasLength) {
            FUZZ_CHECK(m_output.Buffer().Untouched(0, m_room), "a response without room written");
            return;
        }
        if (log.empty()) {
            FUZZ_CHECK(m_output.Buffer().Untouched(0, m_room), "a refused call wrote a response");
            return;
        }
        FUZZ_CHECK(m_length <= m_room, "response length beyond the room offered");
        m_output.CheckHolds(0, log.back().delivered, m_room);
    }

  private:
    unsigned long m_room;
    unsigned long m_length;
    bool m_hasLength;
    COutput m_output;
};

// Whether every 128-byte chunk of a binary transfer reaches the position
// asked for, as ZUICAPI.h promises: positions below 65,536; below 32,768
// for a transfer that starts there; within the P1 of the offset for one
// that starts at 32,768 or more (short-identifier addressing).
bool ChunksReachable(unsigned long offset, unsigned long length) {
    if (offset >= 0x10000 || length > 0x10000) {
        return false;
    }
    for (unsigned long done = 0; done < length; done += 128) {
        const unsigned long position = offset + done;
        if (position >= 0x10000) {
            return false;
        }
        if (offset < 0x8000 ? position >= 0x8000 : (position >> 8) != (offset >> 8)) {
            return false;
        }
    }
    return true;
}

struct Cards {
    Log log;
    CFuzzCard<CZUICAPI> general{log};
    CFuzzCard<CZUSAMIC> sam{log};
    CFuzzCard<CZUSBIC> social{log};
    CFuzzCard<CZUSBSAMIC> socialSam{log};

    // The general card's operations reach every class.
    CZUICAPI& Any(FuzzedDataProvider& in) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return general;
        case 1:
            return sam;
        case 2:
            return social;
        default:
            return socialSam;
        }
    }
    CZUSAMIC& AnySam(FuzzedDataProvider& in) {
        if (in.ConsumeBool()) {
            return sam;
        }
        return socialSam;
    }
};

Verdict Within(bool fits) {
    return fits ? SENT : REFUSED;
}

// The single command with a data field: refused beyond `largest` bytes or
// for null data with a length; the data are sent from byte `at` on.
void CheckDataCommand(const Log& log, CCallerData& data, unsigned long length, size_t at) {
    if (!log.empty()) {
        FUZZ_CHECK(data.SentAt(log[0].apdu, at, 0, length), "the data field is not the caller's");
    }
}

// ---- CZUICAPI ----

void EraseMF(Cards& cards, CZUICAPI& card) {
    const int result = card.EraseMF();
    const Log& log = cards.log;
    CheckCommands({SENT, 21, 4, false}, result, log);
    // erase; or erase, key 1, erase; or erase, key 1, key 2, erase; or
    // erase, key 1, key 2 when both keys are refused.
    Bytes ins;
    for (const FuzzCommand& command : log) {
        ins.push_back(command.apdu[1]);
    }
    const bool erasedFirst = log.size() == 1 && log[0].result == 1;
    const bool firstKey = log.size() == 3 && ins == Bytes{0x0E, 0xD8, 0x0E} && log[1].result == 1;
    const bool secondKey = log.size() == 4 && ins == Bytes{0x0E, 0xD8, 0xD8, 0x0E} &&
                           log[1].result == 0 && log[2].result == 1;
    const bool noKey = log.size() == 3 && ins == Bytes{0x0E, 0xD8, 0xD8} && log[1].result == 0 &&
                       log[2].result == 0;
    FUZZ_CHECK(log[0].result == 0 || erasedFirst, "EraseMF went on after the erase");
    FUZZ_CHECK(erasedFirst || firstKey || secondKey || noKey, "EraseMF's sequence is wrong");
    FUZZ_CHECK(result == (noKey ? 0 : log.back().result), "EraseMF's result is wrong");
}

void CreateMFWithName(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    CCallerData block(in, 8);
    const unsigned long nameLen = PickLength(in, 113);
    CCallerData name(in, nameLen);
    const int result =
        card.CreateMF(in.ConsumeIntegral<unsigned char>(), in.ConsumeIntegral<unsigned char>(),
                      block.Ptr(), name.Ptr(), nameLen);
    const bool fits = !block.Null() && nameLen <= 113 && !(name.Null() && nameLen != 0);
    CheckCommands({Within(fits), 128, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, name, nameLen, 15);
}

void CreateMF(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    CCallerData block(in, 8);
    const int result = card.CreateMF(in.ConsumeIntegral<unsigned char>(),
                                     in.ConsumeIntegral<unsigned char>(), block.Ptr());
    CheckCommands({Within(!block.Null()), 15, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, block, 8, 7);
}

void CreateADF(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    CCallerData fileId(in, 2);
    const unsigned long nameLen = PickLength(in, 16);
    CCallerData name(in, nameLen);
    const int result = card.CreateADF(fileId.Ptr(), in.ConsumeIntegral<unsigned char>(),
                                      in.ConsumeIntegral<unsigned char>(), name.Ptr(), nameLen);
    const bool fits = !fileId.Null() && !name.Null() && nameLen >= 5 && nameLen <= 16;
    CheckCommands({Within(fits), 25, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, name, nameLen, 9);
}

void CreateEnd(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    CCallerData fileId(in, 2);
    const int result = card.CreateEnd(fileId.Ptr());
    CheckCommands({Within(!fileId.Null()), 5, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, fileId, 2, 2);
}

void CreateEF(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    CCallerData fileId(in, 2);
    const int result =
        card.CreateEF(fileId.Ptr(), in.ConsumeIntegral<unsigned char>(),
                      in.ConsumeIntegral<unsigned char>(), in.ConsumeIntegral<unsigned char>(),
                      in.ConsumeIntegral<unsigned char>(), in.ConsumeIntegral<unsigned char>());
    CheckCommands({Within(!fileId.Null()), 12, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, fileId, 2, 5);
}

void WriteKey(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card, bool secure) {
    const unsigned long length = PickLength(in, 123);
    CCallerData keyData(in, length);
    const unsigned char p1 = in.ConsumeIntegral<unsigned char>();
    const int result = secure ? card.WriteKeyWithEncryptionAndMAC(p1, keyData.Ptr(), length)
                              : card.WriteKey(p1, keyData.Ptr(), length);
    const bool fits = length <= 123 && !(keyData.Null() && length != 0);
    CheckCommands({Within(fits), 128, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, keyData, length, 5);
}

void SelectByName(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    const unsigned long nameLen = PickLength(in, 27);
    CCallerData name(in, nameLen);
    CResponse response(in);
    const int result = card.SelectDF(name.Ptr(), nameLen, response.Resp(), response.RespLen());
    const bool fits = nameLen <= 27 && !(name.Null() && nameLen != 0);
    CheckCommands({Within(fits), 32, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, name, nameLen, 5);
    response.Check(cards.log);
}

void SelectById(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card, bool elementary) {
    CCallerData fileId(in, 2);
    CResponse response(in);
    const int result = elementary
                           ? card.SelectEF(fileId.Ptr(), response.Resp(), response.RespLen())
                           : card.SelectDF(fileId.Ptr(), response.Resp(), response.RespLen());
    CheckCommands({Within(!fileId.Null()), 7, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, fileId, 2, 5);
    response.Check(cards.log);
}

unsigned long PickOffset(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return in.ConsumeIntegralInRange<unsigned long>(0, 0x200);
    case 1:
        return 0x8000 - in.ConsumeIntegralInRange<unsigned long>(0, 0x200);
    case 2:
        return in.ConsumeIntegralInRange<unsigned long>(0x7F00, 0x10100);
    default:
        return in.ConsumeIntegral<unsigned long>();
    }
}

// Chunk k of a binary transfer: P1 P2 = offset + 128 k, P3 its length.
void CheckChunkHeader(const FuzzCommand& command, unsigned long offset, unsigned long length,
                      size_t k) {
    const unsigned long position = offset + 128 * k;
    const unsigned long left = length - 128 * k;
    FUZZ_CHECK(command.apdu[2] == ((position >> 8) & 0xFF) && command.apdu[3] == (position & 0xFF),
               "a chunk at the wrong position");
    FUZZ_CHECK(command.apdu[4] == (left < 128 ? left : 128), "a chunk of the wrong length");
}

void ReadBinaryFile(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    const unsigned long length = PickLength(in, in.ConsumeBool() ? 128 : 0x8000);
    const unsigned long offset = PickOffset(in);
    COutput buffer(in, length);
    const int result = card.ReadBinaryFile(buffer.Ptr(), length, offset);
    const Log& log = cards.log;
    const bool fits = !buffer.Null() && ChunksReachable(offset, length);
    const size_t chunks = (length + 127) / 128;
    CheckCommands({length == 0 ? NOTHING_TO_SEND : Within(fits), 5, chunks, false}, result, log);
    buffer.Buffer().CheckCanaries();
    if (length == 0 || !fits) {
        FUZZ_CHECK(buffer.Buffer().Untouched(0, buffer.Buffer().Size()), "a refused read wrote");
        return;
    }
    for (size_t k = 0; k < log.size(); ++k) {
        CheckChunkHeader(log[k], offset, length, k);
        const size_t at = 128 * k;
        const Bytes none;
        buffer.CheckHolds(at, log[k].result == 1 ? log[k].delivered : none,
                          at + (length - at < 128 ? length - at : 128));
    }
    FUZZ_CHECK(result == 0 || (log.size() == chunks && log.back().result == 1),
               "a read reported whole that was not");
    FUZZ_CHECK(buffer.Buffer().Untouched(128 * log.size(), length), "a read wrote past its chunks");
}

void UpdateBinaryFile(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    const unsigned long length = PickLength(in, in.ConsumeBool() ? 128 : 0x8000);
    const unsigned long offset = PickOffset(in);
    CCallerData data(in, length);
    const int result = card.UpdateBinaryFile(data.Ptr(), length, offset);
    const Log& log = cards.log;
    const bool fits = !data.Null() && ChunksReachable(offset, length);
    const size_t chunks = (length + 127) / 128;
    CheckCommands({length == 0 ? NOTHING_TO_SEND : Within(fits), 133, chunks, false}, result, log);
    for (size_t k = 0; k < log.size(); ++k) {
        CheckChunkHeader(log[k], offset, length, k);
        FUZZ_CHECK(data.SentAt(log[k].apdu, 5, 128 * k, log[k].apdu[4]), "a chunk's data is wrong");
        FUZZ_CHECK(k + 1 == log.size() || log[k].result == 1, "an update went on after a refusal");
    }
    FUZZ_CHECK(log.empty() || result == log.back().result, "an update's result is not the card's");
    FUZZ_CHECK(result == 0 || log.size() == chunks, "an update reported whole that was not");
}

void UpdateBinaryFileWithMac(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    const unsigned long length = PickLength(in, 11);
    const unsigned long offset = PickOffset(in);
    CCallerData data(in, length);
    const int result = card.UpdateBinaryFileWithMac(data.Ptr(), length, offset);
    const bool fits = length <= 11 && offset < 0x10000 && !(data.Null() && length != 0);
    CheckCommands({Within(fits), 16, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, data, length, 5);
}

void VerifyPin(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    const unsigned long length = PickLength(in, 11);
    CCallerData pin(in, length);
    const int untouched = 1234;
    int tries = untouched;
    const int result = card.VerifyPin(pin.Ptr(), length, tries);
    const bool fits = length <= 11 && !(pin.Null() && length != 0);
    CheckCommands({Within(fits), 16, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, pin, length, 5);
    int expected = untouched;
    if (!cards.log.empty() && result == 0) {
        const unsigned short sw = card.GetSW();
        if (sw >> 8 == 0x63) {
            expected = (sw & 0xF0) == 0xC0 ? (sw & 0x0F) : untouched;
        } else {
            expected = sw == 0x6983 ? 0 : -1;
        }
    }
    FUZZ_CHECK(tries == expected, "VerifyPin reported the wrong number of tries");
}

void ChangePin(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    const unsigned long oldLength = PickLength(in, 10);
    const unsigned long newLength = PickLength(in, 10 - (oldLength <= 10 ? oldLength : 0));
    CCallerData oldPin(in, oldLength);
    CCallerData newPin(in, newLength);
    const int result = card.ChangePin(oldPin.Ptr(), oldLength, newPin.Ptr(), newLength);
    const bool fits = oldLength <= 10 && newLength <= 10 && oldLength + newLength <= 10 &&
                      !(oldPin.Null() && oldLength != 0) && !(newPin.Null() && newLength != 0);
    CheckCommands({Within(fits), 16, 1, true}, result, cards.log);
    if (!cards.log.empty()) {
        const Bytes& apdu = cards.log[0].apdu;
        FUZZ_CHECK(oldPin.SentAt(apdu, 5, 0, oldLength) && apdu[5 + oldLength] == 0xFF &&
                       newPin.SentAt(apdu, 6 + oldLength, 0, newLength),
                   "ChangePin's data field is wrong");
    }
}

void RecordWrite(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card, bool append) {
    const unsigned long length = PickLength(in, 251);
    CCallerData data(in, length);
    const int recordNo =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(0, 255) : in.ConsumeIntegral<int>();
    bool fits = length <= 251 && !(data.Null() && length != 0);
    const int result = append ? card.AppendRecord(data.Ptr(), length)
                              : card.UpdateRecord(recordNo, data.Ptr(), length);
    if (!append && (recordNo < 0 || recordNo > 255)) {
        // P1 holds one byte: such a record number may be refused.
        fits = fits && !cards.log.empty();
    }
    CheckCommands({Within(fits), 256, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, data, length, 5);
}

void ReadRecord(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    const unsigned long length = PickLength(in, 256);
    COutput buffer(in, length);
    const int result = card.ReadRecord(in.ConsumeIntegral<unsigned char>(), length, buffer.Ptr());
    const bool fits = length <= 256 && !(buffer.Null() && length != 0);
    CheckCommands({Within(fits), 5, 1, true}, result, cards.log);
    buffer.Buffer().CheckCanaries();
    if (!cards.log.empty()) {
        FUZZ_CHECK(cards.log[0].apdu[4] == (length & 0xFF), "ReadRecord asked for another Le");
        if (!buffer.Null()) {
            buffer.CheckHolds(0, cards.log[0].delivered, length);
        }
    }
}

void GenerateRandom(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    unsigned long length = PickLength(in, 8);
    if (length > 4096) {
        length %= 4097; // any length is legitimate: keep the buffer real
    }
    COutput buffer(in, length);
    const int result = card.GenerateRandom(buffer.Ptr(), length);
    const Log& log = cards.log;
    CheckCommands({Within(!(buffer.Null() && length != 0)), 5, length + 1, false}, result, log);
    buffer.Buffer().CheckCanaries();
    if (log.empty()) {
        return;
    }
    // The challenge bytes of the accepted exchanges, in order, cut at length.
    Bytes gathered;
    for (const FuzzCommand& command : log) {
        FUZZ_CHECK(command.apdu[4] == (length < 8 ? length : 8), "GET CHALLENGE's Le is wrong");
        if (command.result == 1) {
            gathered.insert(gathered.end(), command.delivered.begin(), command.delivered.end());
        }
    }
    FUZZ_CHECK(result == 0 || gathered.size() >= length, "GenerateRandom gathered too little");
    if (gathered.size() > length) {
        gathered.resize(length);
    }
    if (!buffer.Null()) {
        buffer.CheckHolds(0, gathered, length);
    }
}

void InternalAuthentication(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    CCallerData challenge(in, 8);
    COutput resp(in, 8);
    const int result = card.InternalAuthentication(in.ConsumeIntegral<unsigned char>(),
                                                   challenge.Ptr(), resp.Ptr());
    CheckCommands({Within(!challenge.Null()), 13, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, challenge, 8, 5);
    resp.Buffer().CheckCanaries();
    if (!cards.log.empty() && !resp.Null()) {
        resp.CheckHolds(0, cards.log[0].delivered, 8);
    }
}

void ExternalAuthentication(FuzzedDataProvider& in, Cards& cards, CZUICAPI& card) {
    CCallerData cryptogram(in, 8);
    const int result =
        card.ExternalAuthentication(in.ConsumeIntegral<unsigned char>(), cryptogram.Ptr());
    CheckCommands({Within(!cryptogram.Null()), 13, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, cryptogram, 8, 5);
}

// ---- CZUSAMIC ----

void InitForDESCrypt(FuzzedDataProvider& in, Cards& cards, CZUSAMIC& sam) {
    const unsigned long length = PickLength(in, 251);
    CCallerData data(in, length);
    const int result = sam.InitForDESCrypt(in.ConsumeIntegral<unsigned char>(),
                                           in.ConsumeIntegral<unsigned char>(), data.Ptr(), length);
    const bool fits = length <= 251 && !(data.Null() && length != 0);
    CheckCommands({Within(fits), 256, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, data, length, 5);
}

void SamCommand(FuzzedDataProvider& in, Cards& cards, CZUSAMIC& sam, bool m1) {
    const unsigned long length = PickLength(in, 251);
    CCallerData data(in, length);
    CResponse response(in);
    const unsigned char p1 = in.ConsumeIntegral<unsigned char>();
    const int result =
        m1 ? sam.M1AuthAndKeyCalc(p1, in.ConsumeIntegral<unsigned char>(), data.Ptr(), length,
                                  response.Resp(), response.RespLen())
           : sam.DESCrypt(p1, data.Ptr(), length, response.Resp(), response.RespLen());
    const bool fits = length <= 251 && !(data.Null() && length != 0);
    CheckCommands({Within(fits), 256, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, data, length, 5);
    response.Check(cards.log);
}

void Diversify(FuzzedDataProvider& in, Cards& cards, CZUSAMIC& sam) {
    CCallerData factor(in, 8);
    COutput key(in, 16);
    const int result = sam.Diversify(in.ConsumeIntegral<unsigned char>(),
                                     in.ConsumeIntegral<unsigned char>(), factor.Ptr(), key.Ptr());
    const Log& log = cards.log;
    CheckCommands({Within(!factor.Null() && !key.Null()), 13, 4, false}, result, log);
    key.Buffer().CheckCanaries();
    if (log.empty()) {
        return;
    }
    // 80 1A, 80 FA factor, 80 1A, 80 FA complement; each half holds the
    // SAM's answer to its DESCrypt.
    for (size_t k = 0; k < log.size(); ++k) {
        FUZZ_CHECK(log[k].apdu[1] == (k % 2 == 0 ? 0x1A : 0xFA), "Diversify's sequence is wrong");
        FUZZ_CHECK(k + 1 == log.size() || log[k].result == 1, "Diversify went on after a refusal");
    }
    FUZZ_CHECK(result == (log.size() == 4 && log[3].result == 1 ? 1 : 0),
               "Diversify's result is wrong");
    for (size_t half = 0; half < 2; ++half) {
        const size_t k = 2 * half + 1;
        if (k < log.size()) {
            key.CheckHolds(8 * half, log[k].delivered, 8 * half + 8);
        } else {
            FUZZ_CHECK(key.Buffer().Untouched(8 * half, 8 * half + 8), "Diversify wrote unasked");
        }
    }
}

// ---- CZUSBIC, CZUSBSAMIC ----

void CreateATRFile(FuzzedDataProvider& in, Cards& cards) {
    CCallerData fileId(in, 2);
    const unsigned long length = PickLength(in, 120);
    CCallerData body(in, length);
    const int result = cards.social.CreateATRFile(fileId.Ptr(), in.ConsumeIntegral<unsigned char>(),
                                                  body.Ptr(), length);
    const bool fits = !fileId.Null() && length <= 120 && !(body.Null() && length != 0);
    CheckCommands({Within(fits), 128, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, body, length, 8);
}

void SocialReadRecord(FuzzedDataProvider& in, Cards& cards) {
    const bool withTagAndLength = in.ConsumeBool();
    const unsigned long extra = withTagAndLength ? 2 : 0;
    const unsigned long length = PickLength(in, 255 - extra);
    COutput buffer(in, length);
    const int result = cards.social.ReadRecord(
        in.ConsumeIntegral<unsigned char>(), in.ConsumeIntegral<unsigned char>(),
        in.ConsumeIntegral<unsigned char>(), length, buffer.Ptr(), withTagAndLength ? 1 : 0);
    const Log& log = cards.log;
    const bool fits = length <= 255 - extra && !(buffer.Null() && length != 0);
    CheckCommands({Within(fits), 5, 1, false}, result, log);
    buffer.Buffer().CheckCanaries();
    if (log.empty()) {
        return;
    }
    FUZZ_CHECK(log[0].apdu[4] == ((length + extra) & 0xFF), "ReadRecord asked for another Le");
    const Bytes& delivered = log[0].delivered;
    if (result == 0) {
        FUZZ_CHECK(buffer.Buffer().Untouched(0, length), "a failed ReadRecord wrote");
        FUZZ_CHECK(log[0].result == 0 || delivered.size() < extra, "ReadRecord failed unasked");
        return;
    }
    FUZZ_CHECK(log[0].result == 1 && delivered.size() >= extra, "ReadRecord succeeded unasked");
    Bytes value(delivered.begin() + extra, delivered.end());
    if (value.size() > length) {
        value.resize(length);
    }
    if (!buffer.Null()) {
        buffer.CheckHolds(0, value, length);
    }
}

void SocialRecordWrite(FuzzedDataProvider& in, Cards& cards, int form) {
    const unsigned long largest = form == 1 ? 253 : 255;
    const unsigned long length = PickLength(in, largest);
    CCallerData data(in, length);
    const unsigned char recordNo = in.ConsumeIntegral<unsigned char>();
    const unsigned char sfi = in.ConsumeIntegral<unsigned char>();
    const unsigned char mode = in.ConsumeIntegral<unsigned char>();
    int result;
    switch (form) {
    case 0:
        result = cards.social.UpdateRecord(recordNo, sfi, mode, data.Ptr(), length);
        break;
    case 1:
        result = cards.social.UpdateRecord(in.ConsumeIntegral<unsigned char>(), recordNo, sfi, mode,
                                           data.Ptr(), length);
        break;
    default:
        result = cards.social.UpdateRecordWithMAC(recordNo, sfi, mode, data.Ptr(), length);
        break;
    }
    const bool fits = length <= largest && !(data.Null() && length != 0);
    CheckCommands({Within(fits), 260, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, data, length, form == 1 ? 7 : 5);
}

void VariableAuthentication(FuzzedDataProvider& in, Cards& cards, bool internal) {
    const unsigned long length = PickLength(in, 255);
    CCallerData data(in, length);
    COutput resp(in, 8);
    const bool sam = in.ConsumeBool();
    int result;
    if (internal) {
        result = sam ? cards.socialSam.InternalAuthentication(data.Ptr(), length, resp.Ptr())
                     : cards.social.InternalAuthentication(data.Ptr(), length, resp.Ptr());
    } else {
        const unsigned char keyId = in.ConsumeIntegral<unsigned char>();
        result = sam ? cards.socialSam.ExternalAuthentication(keyId, data.Ptr(), length)
                     : cards.social.ExternalAuthentication(keyId, data.Ptr(), length);
    }
    const bool fits = length <= 255 && !(data.Null() && length != 0);
    CheckCommands({Within(fits), 260, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, data, length, 5);
    resp.Buffer().CheckCanaries();
    if (!internal) {
        FUZZ_CHECK(resp.Buffer().Untouched(0, 8), "EXTERNAL AUTHENTICATE wrote an answer");
    } else if (!cards.log.empty() && !resp.Null()) {
        resp.CheckHolds(0, cards.log[0].delivered, 8);
    }
}

void ExportKey(FuzzedDataProvider& in, Cards& cards) {
    const unsigned long length = PickLength(in, 123);
    CCallerData data(in, length);
    CResponse response(in);
    const int result = cards.socialSam.ExportKey(in.ConsumeIntegral<unsigned char>(),
                                                 in.ConsumeIntegral<unsigned char>(), data.Ptr(),
                                                 length, response.Resp(), response.RespLen());
    const bool fits = length <= 123 && !(data.Null() && length != 0);
    CheckCommands({Within(fits), 128, 1, true}, result, cards.log);
    CheckDataCommand(cards.log, data, length, 5);
    response.Check(cards.log);
}

// ---- The software-assisted secure writes ----

// GET CHALLENGE exchanges first; the challenge is what the accepted ones
// gathered. Returns the index of the first command after them.
size_t ChallengeOf(const Log& log, unsigned char iv[8]) {
    std::memset(iv, 0, 8);
    size_t k = 0;
    size_t gathered = 0;
    for (; k < log.size() && log[k].apdu[1] == 0x84 && log[k].apdu.size() == 5; ++k) {
        if (log[k].result == 1) {
            for (size_t i = 0; i < log[k].delivered.size() && gathered < 4; ++i) {
                iv[gathered++] = log[k].delivered[i];
            }
        }
    }
    return k;
}

void CheckMac(const Bytes& apdu, const unsigned char* key, const unsigned char iv[8]) {
    unsigned char mac[4];
    CDESMac engine;
    engine.Init(key, 16, iv);
    engine.Update(apdu.data(), apdu.size() - 4);
    engine.Final(mac);
    FUZZ_CHECK(std::memcmp(mac, apdu.data() + apdu.size() - 4, 4) == 0, "the MAC is wrong");
}

void UpdateBinaryWithSoftwareMacCall(FuzzedDataProvider& in, Cards& cards) {
    CZUICAPI* card = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : &cards.Any(in);
    CCallerData key(in, 16);
    const unsigned long length = PickLength(in, 247);
    CCallerData data(in, length);
    const unsigned long offset = PickOffset(in);
    const int result = UpdateBinaryWithSoftwareMac(card, key.Ptr(), data.Ptr(), length, offset);
    const Log& log = cards.log;
    const bool fits = card != nullptr && !key.Null() && length <= 247 && offset < 0x10000 &&
                      !(data.Null() && length != 0);
    CheckCommands({Within(fits), 256, 5, false}, result, log);
    if (log.empty()) {
        return;
    }
    unsigned char iv[8];
    const size_t update = ChallengeOf(log, iv);
    FUZZ_CHECK(update + 1 >= log.size(), "more than the update after the challenge");
    if (update == log.size()) {
        FUZZ_CHECK(result == 0, "an update reported done that was never sent");
        return;
    }
    const Bytes& apdu = log[update].apdu;
    FUZZ_CHECK(apdu.size() == 9 + length && apdu[0] == 0x04 && apdu[1] == 0xD6 &&
                   apdu[2] == ((offset >> 8) & 0xFF) && apdu[3] == (offset & 0xFF),
               "the update's header is wrong");
    FUZZ_CHECK(data.SentAt(apdu, 5, 0, length), "the update's data are wrong");
    CheckMac(apdu, key.Ptr(), iv);
    FUZZ_CHECK(result == log[update].result, "the update's result is not the card's");
}

void WriteSAMKeyWithSoftwareCalcCall(FuzzedDataProvider& in, Cards& cards) {
    CZUSAMIC* sam = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : &cards.AnySam(in);
    CCallerData key(in, 16);
    const unsigned long length = PickLength(in, 19);
    CCallerData keyData(in, length);
    const int result = WriteSAMKeyWithSoftwareCalc(sam, key.Ptr(), keyData.Ptr(), length);
    const Log& log = cards.log;
    bool fits = sam != nullptr && !keyData.Null() && length <= 19;
    if (key.Null()) {
        fits = fits && !log.empty(); // the key is the caller's to supply; it may be refused
    }
    CheckCommands({Within(fits), 33, 5, false}, result, log);
    if (log.empty() || key.Null()) {
        return;
    }
    unsigned char iv[8];
    const size_t write = ChallengeOf(log, iv);
    FUZZ_CHECK(write + 1 >= log.size(), "more than the key write after the challenge");
    if (write == log.size()) {
        FUZZ_CHECK(result == 0, "a key write reported done that was never sent");
        return;
    }
    // 84 D4 00 00 Lc, the key block encrypted, the MAC. The block is the
    // length byte, the key data, 80 and zeros to a multiple of 8.
    const Bytes& apdu = log[write].apdu;
    const size_t blockLength = (length + 1) / 8 * 8 + 8;
    FUZZ_CHECK(apdu.size() == 9 + blockLength && apdu[0] == 0x84 && apdu[1] == 0xD4 &&
                   apdu[2] == 0 && apdu[3] == 0,
               "the key write's header is wrong");
    unsigned char block[24];
    CTDES2Decryptor(key.Ptr()).ProcessBlocks(apdu.data() + 5, block, blockLength);
    FUZZ_CHECK(block[0] == length && std::memcmp(block + 1, keyData.Ptr(), length) == 0 &&
                   block[length + 1] == 0x80,
               "the key block is wrong");
    for (size_t i = length + 2; i < blockLength; ++i) {
        FUZZ_CHECK(block[i] == 0, "the key block's padding is wrong");
    }
    CheckMac(apdu, key.Ptr(), iv);
    FUZZ_CHECK(result == log[write].result, "the key write's result is not the SAM's");
}

const int kOperations = 38;

void RunOperation(FuzzedDataProvider& in, Cards& cards) {
    const int op = in.ConsumeIntegralInRange<int>(0, kOperations - 1);
    switch (op) {
    case 0:
        return EraseMF(cards, cards.Any(in));
    case 1:
        return CreateMFWithName(in, cards, cards.Any(in));
    case 2:
        return CreateMF(in, cards, cards.Any(in));
    case 3:
        return CreateADF(in, cards, cards.Any(in));
    case 4:
        return CreateEnd(in, cards, cards.Any(in));
    case 5:
        return CreateEF(in, cards, cards.Any(in));
    case 6:
        return WriteKey(in, cards, cards.Any(in), false);
    case 7:
        return WriteKey(in, cards, cards.Any(in), true);
    case 8:
        return SelectByName(in, cards, cards.Any(in));
    case 9:
        return SelectById(in, cards, cards.Any(in), false);
    case 10:
        return SelectById(in, cards, cards.Any(in), true);
    case 11:
        return ReadBinaryFile(in, cards, cards.Any(in));
    case 12:
        return UpdateBinaryFile(in, cards, cards.Any(in));
    case 13:
        return UpdateBinaryFileWithMac(in, cards, cards.Any(in));
    case 14:
        return VerifyPin(in, cards, cards.Any(in));
    case 15:
        return ChangePin(in, cards, cards.Any(in));
    case 16:
        return RecordWrite(in, cards, cards.Any(in), true);
    case 17:
        return RecordWrite(in, cards, cards.Any(in), false);
    case 18:
        return ReadRecord(in, cards, cards.Any(in));
    case 19:
        return GenerateRandom(in, cards, cards.Any(in));
    case 20:
        return InternalAuthentication(in, cards, cards.Any(in));
    case 21:
        return ExternalAuthentication(in, cards, cards.Any(in));
    case 22:
        return InitForDESCrypt(in, cards, cards.AnySam(in));
    case 23:
        return SamCommand(in, cards, cards.AnySam(in), false);
    case 24:
        return SamCommand(in, cards, cards.AnySam(in), true);
    case 25:
        return Diversify(in, cards, cards.AnySam(in));
    case 26:
        return CreateATRFile(in, cards);
    case 27:
        return SocialReadRecord(in, cards);
    case 28:
    case 29:
    case 30:
        return SocialRecordWrite(in, cards, op - 28);
    case 31:
        return VariableAuthentication(in, cards, true);
    case 32:
        return VariableAuthentication(in, cards, false);
    case 33:
        return ExportKey(in, cards);
    case 34:
    case 35:
        return UpdateBinaryWithSoftwareMacCall(in, cards);
    default:
        return WriteSAMKeyWithSoftwareCalcCall(in, cards);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    auto transport = std::make_shared<CFuzzTransport>(in);
    Cards cards;
    ZUOpenTransport(cards.general, transport);
    ZUOpenTransport(cards.sam, transport);
    ZUOpenTransport(cards.social, transport);
    ZUOpenTransport(cards.socialSam, transport);
    for (int calls = 0; calls < 16 && in.remaining_bytes() != 0; ++calls) {
        cards.log.clear();
        RunOperation(in, cards);
    }
    return 0;
}
