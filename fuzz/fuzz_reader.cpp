// The reader layer on its own: CZUReader opened on a transport whose every
// answer the fuzz input chooses (FuzzTransport.h), and commands, response
// room and null pointers the input chooses too.
//
// Each SendCommand is replayed against what ZUICRD.h promises: commands
// shorter than a header or longer than a short APDU are refused before
// anything is sent; a 6C XX answer is followed once by the same command with
// Le = XX (in P3, in place of the Le it carries, or behind its data); while the card answers 61 XX,
// GET RESPONSE 00 C0 00 00 XX follows (at most 256 times); an answer that fails, lacks a status
// word or claims more than the reader's buffer ends the exchange with 0. The result is 1 exactly
// when the last status word is 90 00, GetSW reports that word, and the caller's buffer holds the
// answers' data in order, cut at the room offered, with nothing written past it. Reset, presence,
// slot changes, Close and copies sharing one connection are exercised between commands.
#include "CanaryBuffer.h"
#include "common/Bytes.h"
#include "FuzzCheck.h"
#include "FuzzTransport.h"
#include "ZUICRD.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <vector>

namespace {

const size_t kLongestCommand = 260; // header, Lc and 255 data bytes
const int kMostGetResponses = 256;

// One reader object and what the target knows of it: the transport it was
// last given, whether it holds a connection (open is not null) and whether
// that connection, which its copies share, is still open.
struct Reader {
    CZUReader object;
    std::shared_ptr<CFuzzTransport> transport;
    std::shared_ptr<bool> open;

    bool Usable() const { return transport && open && *open; }
};

class CReplay {
  public:
    CReplay(const std::vector<FuzzExchange>& log, size_t from) : m_log(log), m_next(from) {}

    // One exchange as the reader carries it: the command, and once more
    // with the Le a 6C XX answer asked for. Null when it ended the command.
    const FuzzExchange* Exchange(const Bytes& command) {
        const FuzzExchange* answer = Take(command);
        if (answer == nullptr || !answer->Usable()) {
            return nullptr;
        }
        if (answer->SW() >> 8 == 0x6C) {
            Bytes again = command;
            if (again.size() == 5) {
                again[4] = static_cast<unsigned char>(answer->SW() & 0xFF);
            } else if (again[4] != 0 && again.size() == 5 + size_t{again[4]} + 1) {
                again.back() = static_cast<unsigned char>(answer->SW() & 0xFF); // its own Le
            } else {
                again.push_back(static_cast<unsigned char>(answer->SW() & 0xFF));
            }
            answer = Take(again);
            if (answer == nullptr || !answer->Usable()) {
                return nullptr;
            }
        }
        return answer;
    }
    bool AllReplayed() const { return m_next == m_log.size(); }

  private:
    const FuzzExchange* Take(const Bytes& command) {
        FUZZ_CHECK(m_next < m_log.size(), "the reader stopped before the card's answer said so");
        const FuzzExchange& exchange = m_log[m_next++];
        FUZZ_CHECK(exchange.command == command, "the reader sent another command than promised");
        return &exchange;
    }

    const std::vector<FuzzExchange>& m_log;
    size_t m_next;
};

void AppendData(Bytes& data, const FuzzExchange& answer) {
    data.insert(data.end(), answer.answer.begin(), answer.answer.begin() + (answer.reported - 2));
}

void SendCommand(FuzzedDataProvider& in, Reader& reader) {
    // The command: a header and data of any length, or none at all.
    const size_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(5, 5 + 255)
                                           : in.ConsumeIntegralInRange<size_t>(0, 300);
    const bool nullCommand = in.ConsumeIntegralInRange<int>(0, 31) == 0;
    std::unique_ptr<unsigned char[]> command(new unsigned char[length]);
    for (size_t i = 0; i < length; ++i) {
        command[i] = in.ConsumeIntegral<unsigned char>();
    }
    if (length > 5 && in.ConsumeBool()) {
        command[4] = static_cast<unsigned char>(length - 5); // a consistent Lc
    }
    // The response: room of any size, either pointer null.
    // Now and then more room than the longest chain of answers can fill.
    const unsigned long room = in.ConsumeIntegralInRange<int>(0, 7) != 0
                                   ? in.ConsumeIntegralInRange<unsigned long>(0, 300)
                                   : in.ConsumeIntegralInRange<unsigned long>(0, 70000);
    const bool nullResp = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    const bool nullRespLen = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    CCanaryBuffer resp(room);
    unsigned long respLen = room;

    const size_t before = reader.transport ? reader.transport->log.size() : 0;
    const int result = reader.object.SendCommand(nullCommand ? nullptr : command.get(), length,
                                                 nullResp ? nullptr : resp.Data(),
                                                 nullRespLen ? nullptr : &respLen);
    resp.CheckCanaries();
    FUZZ_CHECK(result == 0 || result == 1, "SendCommand returned neither 0 nor 1");
    const unsigned long offered = nullResp || nullRespLen ? 0 : room;
    if (!nullRespLen) {
        FUZZ_CHECK(respLen <= offered, "more response bytes reported than there was room");
    }
    if (offered == 0) {
        FUZZ_CHECK(resp.Untouched(0, room), "a response without room was written");
    }

    const bool wellFormed = !nullCommand && length >= 5 && length <= kLongestCommand;
    if (!wellFormed || !reader.Usable()) {
        FUZZ_CHECK(result == 0, "a command that cannot be sent succeeded");
        FUZZ_CHECK(!reader.transport || reader.transport->log.size() == before,
                   "a command that cannot be sent reached the card");
        FUZZ_CHECK(nullRespLen || respLen == 0, "response bytes without an exchange");
        return;
    }

    // Replay the exchanges the transport logged.
    CReplay replay(reader.transport->log, before);
    Bytes data;
    unsigned short sw = 0;
    const FuzzExchange* answer = replay.Exchange(Bytes(command.get(), command.get() + length));
    if (answer != nullptr) {
        sw = answer->SW();
        AppendData(data, *answer);
        for (int fetched = 0; sw >> 8 == 0x61 && fetched < kMostGetResponses; ++fetched) {
            answer = replay.Exchange({0x00, 0xC0, 0x00, 0x00, static_cast<unsigned char>(sw)});
            if (answer == nullptr) {
                sw = 0;
                break;
            }
            sw = answer->SW();
            AppendData(data, *answer);
        }
    }
    FUZZ_CHECK(replay.AllReplayed(), "the reader sent more than the answers asked for");
    FUZZ_CHECK(result == (sw == 0x9000 ? 1 : 0), "the result does not follow the status word");
    FUZZ_CHECK(reader.object.GetSW() == sw, "GetSW is not the last status word");
    if (data.size() > offered) {
        data.resize(offered);
    }
    if (!nullRespLen) {
        FUZZ_CHECK(respLen == data.size(), "the response length is not what the card sent");
    }
    if (offered != 0) {
        FUZZ_CHECK(data.empty() || std::memcmp(resp.Data(), data.data(), data.size()) == 0,
                   "the response is not the card's data");
        FUZZ_CHECK(resp.Untouched(data.size(), room), "written past the card's data");
    }
}

void Reset(FuzzedDataProvider& in, Reader& reader) {
    const unsigned long room = in.ConsumeIntegralInRange<unsigned long>(0, 48);
    const bool nullAtr = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    const bool nullAtrLen = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    CCanaryBuffer atr(room);
    unsigned long atrLen = room;
    const int resetsBefore = reader.transport ? reader.transport->resets : 0;
    const int result =
        reader.object.Reset(nullAtr ? nullptr : atr.Data(), nullAtrLen ? nullptr : &atrLen);
    atr.CheckCanaries();
    FUZZ_CHECK(result == 0 || result == 1, "Reset returned neither 0 nor 1");
    const unsigned long offered = nullAtr || nullAtrLen ? 0 : room;
    if (!reader.Usable()) {
        FUZZ_CHECK(result == 0, "a reader without a card was reset");
        FUZZ_CHECK(!reader.transport || reader.transport->resets == resetsBefore,
                   "a closed connection reached the card");
    }
    if (!nullAtrLen) {
        FUZZ_CHECK(atrLen <= offered, "an ATR length beyond the room offered");
        FUZZ_CHECK(result == 1 || atrLen == 0, "an ATR length after a failed reset");
    }
    if (result == 1 && offered != 0) {
        const Bytes& sent = reader.transport->lastAtr;
        const size_t n = sent.size() < offered ? sent.size() : offered;
        FUZZ_CHECK(atrLen == n, "the ATR length is not the ATR's");
        FUZZ_CHECK(n == 0 || std::memcmp(atr.Data(), sent.data(), n) == 0, "the ATR is wrong");
    }
    if (result == 0 || offered == 0) {
        FUZZ_CHECK(offered != 0 || atr.Untouched(0, room), "an ATR written without room");
    }
}

void Open(FuzzedDataProvider& in, Reader& reader) {
    reader.transport = std::make_shared<CFuzzTransport>(in, 2048);
    reader.open = std::make_shared<bool>(true);
    FUZZ_CHECK(ZUOpenTransport(reader.object, reader.transport) == 1, "a transport was refused");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Reader readers[2];
    Open(in, readers[0]);
    for (int calls = 0; calls < 24 && in.remaining_bytes() != 0; ++calls) {
        Reader& reader = readers[in.ConsumeIntegralInRange<int>(0, 1)];
        switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
            Reset(in, reader);
            break;
        case 1: {
            const int present = reader.object.IsCardExist();
            FUZZ_CHECK(present == 0 || reader.Usable(), "a card present without a connection");
            break;
        }
        case 2: {
            // The transport says whether the slot exists; without it the
            // object is left unopened (its copies keep the connection).
            const bool usable = reader.Usable();
            reader.object.ChangeSlot(in.ConsumeIntegral<int>());
            if (!usable || !reader.transport->lastSlotChange) {
                reader.open.reset();
            }
            break;
        }
        case 3: {
            const int closed = reader.object.Close();
            FUZZ_CHECK(closed == (reader.open ? 1 : 0), "Close reported the wrong result");
            if (reader.open) {
                *reader.open = false;
            }
            reader.open.reset();
            break;
        }
        case 4:
            Open(in, reader);
            break;
        case 5: {
            // A copy reaches the same connection.
            Reader& other = &reader == &readers[0] ? readers[1] : readers[0];
            other.object = reader.object;
            other.transport = reader.transport;
            other.open = reader.open;
            break;
        }
        case 6:
            FUZZ_CHECK(ZUOpenTransport(reader.object, nullptr) == 0, "a null transport opened");
            reader.transport.reset();
            reader.open.reset();
            break;
        default:
            SendCommand(in, reader);
            break;
        }
    }
    return 0;
}
