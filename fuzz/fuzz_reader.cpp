// The reader layer on its own: two CZUReader objects on transports whose
// every answer the input chooses, with commands, room and null pointers the
// input chooses too, and Reset, presence, slot changes, Close, reopening and
// copies in between. For every call: a command that is not a short APDU, or
// a reader without a connection, sends nothing and gives 0 with GetSW 0000;
// the command goes as given, and every exchange after it is the GET
// RESPONSE a 61 XX asked for or the re-send a 6C XX asked for; GetSW is the
// last status word seen (0000 when the last exchange gave none) and the
// result is 1 exactly when it is 90 00; no more than the room is copied or
// reported, for the answer and the ATR alike.
#include "FuzzTransport.h"

#include <memory>

namespace {

void SendCommand(FuzzedDataProvider& in, CZUReader& reader, CFuzzTransport* transport) {
    Bytes cmd = in.ConsumeBytes<unsigned char>(
        in.ConsumeBool() ? in.ConsumeIntegral<uint8_t>() + 5 : in.ConsumeIntegralInRange(0, 300));
    if (cmd.size() > 5 && in.ConsumeBool()) {
        cmd[4] = static_cast<unsigned char>(cmd.size() - 5); // a consistent Lc
    }
    Bytes command(cmd), resp(in.ConsumeIntegralInRange(0, 7) ? in.ConsumeIntegralInRange(0, 300)
                                                             : in.ConsumeIntegralInRange(0, 70000),
                             FILL);
    const bool nullCmd = in.ConsumeIntegralInRange(0, 31) == 0,
               nullResp = in.ConsumeIntegralInRange(0, 7) == 0;
    unsigned long room = nullResp ? 0 : resp.size(), respLen = resp.size(),
                  *len = in.ConsumeIntegralInRange(0, 7) ? &respLen : nullptr;
    const size_t before = transport != nullptr ? transport->log.size() : 0;
    const int result = reader.SendCommand(nullCmd ? nullptr : command.data(), cmd.size(),
                                          nullResp ? nullptr : resp.data(), len);
    const size_t sent = transport != nullptr ? transport->log.size() - before : 0;
    FUZZ_CHECK((len == nullptr || respLen <= room) && Untouched(resp, len == nullptr ? 0 : respLen),
               "more reported than the room, or written past respLen");
    if (nullCmd || cmd.size() < 5 || cmd.size() > 260 || sent == 0) {
        FUZZ_CHECK(result == 0 && sent == 0 && reader.GetSW() == 0 &&
                       (len == nullptr || respLen == 0),
                   "a command that cannot go gave something");
        return;
    }
    const FuzzExchange* x = &transport->log[before];
    FUZZ_CHECK(x->command == cmd && sent <= 2 * 258, "not the command, or GET RESPONSE past 256");
    for (; x + 1 != transport->log.data() + transport->log.size(); ++x) {
        const Bytes& next = x[1].command;
        const unsigned char xx = static_cast<unsigned char>(x->sw);
        FUZZ_CHECK(x->usable &&
                       ((x->sw >> 8 == 0x61 && next == Bytes{0x00, 0xC0, 0x00, 0x00, xx}) ||
                        (x->sw >> 8 == 0x6C && next.back() == xx &&
                         std::equal(next.begin(), next.begin() + 4, x->command.begin()))),
                   "an exchange nothing asked for");
    }
    FUZZ_CHECK(!x->usable || x->sw >> 8 != 0x61 || sent > 256, "a 61 XX left without GET RESPONSE");
    FUZZ_CHECK(reader.GetSW() == (x->usable ? x->sw : 0) && result == (reader.GetSW() == 0x9000),
               "GetSW is not the last status word, or the result does not follow 90 00");
}

void Reset(FuzzedDataProvider& in, CZUReader& reader) {
    Bytes atr(in.ConsumeIntegralInRange(0, 48), FILL);
    const bool nullAtr = in.ConsumeIntegralInRange(0, 7) == 0;
    unsigned long room = nullAtr ? 0 : atr.size(), atrLen = atr.size(),
                  *len = in.ConsumeIntegralInRange(0, 7) ? &atrLen : nullptr;
    const int result = reader.Reset(nullAtr ? nullptr : atr.data(), len);
    FUZZ_CHECK((result == 0 || result == 1) && Untouched(atr, len == nullptr ? 0 : atrLen) &&
                   (len == nullptr || (atrLen <= room && (result == 1 || atrLen == 0))),
               "an ATR length beyond the room, or written past it");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    CZUReader readers[2];
    std::shared_ptr<CFuzzTransport> transports[2];
    for (int calls = 0; calls < 24 && in.remaining_bytes() != 0; ++calls) {
        const int i = in.ConsumeBool();
        switch (in.ConsumeIntegralInRange(0, 15)) {
        case 0:
            Reset(in, readers[i]);
            break;
        case 1:
            FUZZ_CHECK(readers[i].IsCardExist() == 0 || (transports[i] && transports[i]->present),
                       "IsCardExist is not the transport's answer");
            break;
        case 2: // without the slot the object is left unopened
            readers[i].ChangeSlot(in.ConsumeIntegral<int>());
            break;
        case 3:
            readers[i].Close();
            FUZZ_CHECK(readers[i].Close() == 0 && readers[i].IsCardExist() == 0, "closed twice");
            break;
        case 4:
            transports[i] = std::make_shared<CFuzzTransport>(in);
            FUZZ_CHECK(ZUOpenTransport(readers[i], transports[i]) == 1, "a transport was refused");
            break;
        case 5: // a copy reaches the same connection
            readers[1 - i] = readers[i];
            transports[1 - i] = transports[i];
            break;
        case 6:
            FUZZ_CHECK(ZUOpenTransport(readers[i], nullptr) == 0, "a null transport opened");
            break;
        default:
            SendCommand(in, readers[i], transports[i].get());
        }
    }
    return 0;
}
