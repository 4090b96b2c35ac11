// zuic demo: issues a card from blank with the library's own operations and
// reads it back, printing every step and the APDUs that went to the card.
#include "Commands.h"
#include "CardExchange.h"
#include "DemoCard.h"
#include "common/HexText.h"
#include "ReaderSelection.h"
#include "Reasons.h"
#include "common/StatusWords.h"

#if defined(ZUIC_HAVE_SIM)
#include "ZUICAPI.h"
#include "sim/ZUSim.h"
#include "ZUICSIM.h"
#include "softenc.h"
#endif

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace zuic {

namespace {

#if defined(ZUIC_HAVE_SIM)

using namespace democard;

const size_t kPiece = 200; // bytes per secure write
const size_t kShownBytes = 24;

unsigned char* Mutable(const unsigned char* p) {
    return const_cast<unsigned char*>(p);
}

// Hex of at most kShownBytes bytes, and the whole length when cut.
std::string Shown(const Bytes& bytes) {
    if (bytes.size() <= kShownBytes) {
        return FormatHex(bytes);
    }
    return FormatHex(bytes.data(), kShownBytes) + " ... (" + std::to_string(bytes.size()) +
           " bytes)";
}

// A command as a step echoes it: cut like Shown, its secret data hidden.
std::string ShownCommand(const Bytes& command, bool showSecrets) {
    if (!showSecrets && CarriesSecret(command.data(), command.size())) {
        return FormatCommand(command.data(), command.size(), false);
    }
    return Shown(command);
}

struct StepRecord {
    std::string title;
    size_t exchanges;
    bool ok;
};

// Runs the steps one after another, gathering the raw exchanges of each
// through the process's trace hook, and stops at the first that fails.
class DemoRun {
  public:
    // brief leaves out the steps' APDUs, cut to kShownBytes; with --trace
    // every raw exchange follows its step's line whole, brief or not.
    DemoRun(Output& output, bool brief) : m_output(output), m_brief(brief) {}

    // body returns whether the step went as it should; it may say why not
    // (or add what it found) in note.
    bool Step(const std::string& title, const std::function<bool(std::string& note)>& body) {
        if (m_failed) {
            return false;
        }
        m_recorder.Take(); // nothing from before this step
        std::string note;
        bool ok = body(note);
        m_reason = ok ? ZU_E_NONE : ZUGetLastError();
        const std::vector<RawExchange> raw = m_recorder.Take();
        std::ostream& out = m_output.Out();
        out << (ok ? "ok      " : "FAILED  ") << title;
        if (!note.empty()) {
            out << ": " << note;
        }
        out << '\n';
        if (!m_brief) {
            for (const RawExchange& exchange : raw) {
                out << "          >> " << ShownCommand(exchange.command, m_output.ShowingSecrets())
                    << '\n';
                out << "          << "
                    << (exchange.answer.empty() ? std::string("no answer") : Shown(exchange.answer))
                    << '\n';
            }
        }
        for (const RawExchange& exchange : raw) {
            m_output.TraceExchange(exchange.command.data(), exchange.command.size(),
                                   exchange.answer.data(), exchange.answer.size());
        }
        m_steps.push_back({title, raw.size(), ok});
        m_failed = !ok;
        return ok;
    }

    bool Failed() const { return m_failed; }
    // 0, or the exit status of the step that failed: 1 when the card refused
    // or answered otherwise than it should, else what its reason gives.
    int ExitStatus() const {
        if (!m_failed) {
            return kExitOk;
        }
        return m_reason == ZU_E_NONE ? kExitRefused : ExitStatusFor(m_reason);
    }

    void Summary() const {
        std::ostream& out = m_output.Out();
        size_t total = 0;
        out << "\nstep                                                        APDUs  result\n";
        for (const StepRecord& step : m_steps) {
            char line[160];
            std::snprintf(line, sizeof line, "%-60.60s %5zu  %s\n", step.title.c_str(),
                          step.exchanges, step.ok ? "ok" : "FAILED");
            out << line;
            total += step.exchanges;
        }
        char line[160];
        std::snprintf(line, sizeof line, "%-60s %5zu  %s\n", "all", total,
                      m_failed ? "FAILED" : "ok");
        out << line;
    }

  private:
    Output& m_output;
    bool m_brief;
    bool m_failed = false;
    int m_reason = ZU_E_NONE;    // the reason left when the failed step ended
    ExchangeRecorder m_recorder; // without trace printing: the steps show the APDUs
    std::vector<StepRecord> m_steps;
};

// What the card said to the last command that this reader object sent; the
// object keeps 00 00 when no answer came, and the reason says why.
std::string Answer(const CZUReader& reader) {
    if (reader.GetSW() == 0) {
        const int reason = ZUGetLastError();
        return std::string("no answer from the card (") +
               (reason == ZU_E_NONE ? "the exchange failed" : ZUErrorText(reason)) + ")";
    }
    return "the card answered " + FormatStatusWord(reader.GetSW());
}

// The expectation of a step that calls one operation: it returned 1. reader
// is the object that sent the command (a copy of the card in another class
// keeps its own status word).
bool Accepted(int result, CZUReader& reader, std::string& note) {
    if (result != 1) {
        note = Answer(reader);
        return false;
    }
    return true;
}

// The expectation of a step that the card must refuse with one status word.
bool Refused(int result, CZUReader& reader, unsigned short sw, std::string& note) {
    if (result != 0 || reader.GetSW() != sw) {
        note = "expected a refusal with " + FormatStatusWord(sw) + ", got result " +
               std::to_string(result) + " and " + FormatStatusWord(reader.GetSW());
        return false;
    }
    note = "refused with " + FormatStatusWord(sw) + ", as it should be";
    return true;
}

bool Same(const Bytes& expected, const unsigned char* got, size_t length, std::string& note) {
    if (expected.size() != length || std::memcmp(expected.data(), got, length) != 0) {
        note = "expected " + Shown(expected) + ", got " + Shown(Bytes(got, got + length));
        return false;
    }
    return true;
}

int Verify(CZUICAPI& card, const char* pin, int& tries) {
    return card.VerifyPin(reinterpret_cast<const unsigned char*>(pin), std::strlen(pin), tries);
}

// A cold reset; the note shows the answer to reset.
bool ResetShowingAtr(CZUReader& reader, std::string& note) {
    unsigned char atr[64];
    unsigned long atrLength = sizeof atr;
    if (reader.Reset(atr, &atrLength) != 1 || atrLength == 0) {
        note = "no answer to reset";
        return false;
    }
    note = "ATR " + FormatHex(atr, atrLength);
    return true;
}

// Issues the card and uses what it issued; the SAM, when there is one,
// diversifies a key as softenc does.
void IssueAndUse(DemoRun& run, CZUICAPI& card, CZUSAMIC* sam) {
    run.Step("reset the card", [&](std::string& note) { return ResetShowingAtr(card, note); });
    run.Step("erase the card's file system",
             [&](std::string& note) { return Accepted(card.EraseMF(), card, note); });
    run.Step("create the master file 3F00", [&](std::string& note) {
        return Accepted(card.CreateMF(ZUSIM_AC_FREE, 0x02, Mutable(kSerial)), card, note);
    });
    run.Step("create the key file 0001", [&](std::string& note) {
        return Accepted(card.CreateEF(Mutable(kKeyFile), ZUSIM_EF_KEYS, 0x00, 8, ZUSIM_AC_NEVER,
                                      ZUSIM_AC_PIN | 0),
                        card, note);
    });
    run.Step("write PIN 0 (4 digits, 3 tries)", [&](std::string& note) {
        Bytes pin{0x00, ZUSIM_KEY_PIN, 3, '1', '2', '3', '4'};
        return Accepted(card.WriteKey(0x00, pin.data(), pin.size()), card, note);
    });
    run.Step("write authentication key 01 and secure-messaging key 02", [&](std::string& note) {
        Bytes auth = ZUSimTdes2KeyRecord(kAuthKeyNo, kAuthKey);
        Bytes sm = ZUSimTdes2KeyRecord(kSmKeyNo, kSmKey);
        return Accepted(card.WriteKey(0x00, auth.data(), auth.size()), card, note) &&
               Accepted(card.WriteKey(0x00, sm.data(), sm.size()), card, note);
    });
    run.Step("load key 03 encrypted and MACed in software", [&](std::string& note) {
        CZUSAMIC asLoader(&card);
        Bytes loaded = ZUSimTdes2KeyRecord(kLoadedKeyNo, kLoadedKey);
        return Accepted(WriteSAMKeyWithSoftwareCalc(&asLoader, ZUSIM_KEY_LOADING_KEY, loaded.data(),
                                                    loaded.size()),
                        asLoader, note);
    });
    run.Step("end the key file's creation", [&](std::string& note) {
        return Accepted(card.CreateEnd(Mutable(kKeyFile)), card, note);
    });
    run.Step("create application DF01 \"ZUSIM.APP1\"", [&](std::string& note) {
        return Accepted(
            card.CreateADF(Mutable(kApp), ZUSIM_AC_FREE, 0x00, Mutable(kAppName), kAppNameLength),
            card, note);
    });
    run.Step("create binary file 0101 (1 KiB; PIN to read, MAC to write)", [&](std::string& note) {
        return Accepted(card.CreateEF(Mutable(kBinary), (1 << 3) | ZUSIM_EF_BINARY, kFileSize >> 8,
                                      kFileSize & 0xFF, ZUSIM_AC_PIN | 0, ZUSIM_AC_SM | kSmKeyNo),
                        card, note) &&
               Accepted(card.CreateEnd(Mutable(kBinary)), card, note);
    });
    run.Step("create record file 0102 (5 records of up to 32 bytes)", [&](std::string& note) {
        return Accepted(card.CreateEF(Mutable(kRecords), (2 << 3) | ZUSIM_EF_VARIABLE, 5, 32,
                                      ZUSIM_AC_FREE, ZUSIM_AC_FREE),
                        card, note) &&
               Accepted(card.CreateEnd(Mutable(kRecords)), card, note);
    });
    run.Step("end the application's and the master file's creation", [&](std::string& note) {
        return Accepted(card.CreateEnd(Mutable(kApp)), card, note) &&
               Accepted(card.SelectDF(Mutable(kMf), nullptr, nullptr), card, note) &&
               Accepted(card.CreateEnd(Mutable(kMf)), card, note);
    });

    run.Step("select the application by name, then its binary file", [&](std::string& note) {
        unsigned char fci[64];
        unsigned long fciLength = sizeof fci;
        return Accepted(card.SelectDF(Mutable(kAppName), kAppNameLength, fci, &fciLength), card,
                        note) &&
               Accepted(card.SelectEF(Mutable(kBinary), nullptr, nullptr), card, note);
    });
    run.Step("verify a wrong PIN", [&](std::string& note) {
        int tries = -1;
        bool ok = Refused(Verify(card, "9999", tries), card, SW_TRIES_LEFT | 2, note);
        note += "; " + std::to_string(tries) + " tries left";
        return ok && tries == 2;
    });
    run.Step("verify the PIN and change it", [&](std::string& note) {
        int tries = -1;
        unsigned char oldPin[] = {'1', '2', '3', '4'}, newPin[] = {'5', '6', '7', '8'};
        return Accepted(Verify(card, "1234", tries), card, note) &&
               Accepted(card.ChangePin(oldPin, 4, newPin, 4), card, note);
    });
    const Bytes data = Pattern(kWritten, 3);
    run.Step("write the binary file without a MAC", [&](std::string& note) {
        return Refused(card.UpdateBinaryFile(Mutable(data.data()), 16, 0), card, SW_SECURITY, note);
    });
    run.Step("write 600 bytes with MACs computed in software", [&](std::string& note) {
        for (size_t at = 0; at < data.size(); at += kPiece) {
            size_t n = data.size() - at < kPiece ? data.size() - at : kPiece;
            if (UpdateBinaryWithSoftwareMac(&card, kSmKey, &data[at], n, at) != 1) {
                note = "the write at offset " + std::to_string(at) + ": " + Answer(card);
                return false;
            }
        }
        return true;
    });
    run.Step("read the 600 bytes back", [&](std::string& note) {
        Bytes back(kWritten, 0xEE);
        return Accepted(card.ReadBinaryFile(back.data(), back.size(), 0), card, note) &&
               Same(data, back.data(), back.size(), note);
    });
    run.Step("append two records and read them back", [&](std::string& note) {
        Bytes first = Pattern(10, 3), second = Pattern(20, 3);
        Bytes got(20, 0xEE);
        if (!Accepted(card.SelectEF(Mutable(kRecords), nullptr, nullptr), card, note) ||
            !Accepted(card.AppendRecord(first.data(), first.size()), card, note) ||
            !Accepted(card.AppendRecord(second.data(), second.size()), card, note) ||
            !Accepted(card.ReadRecord(2, 20, got.data()), card, note) ||
            !Same(second, got.data(), 20, note)) {
            return false;
        }
        return Accepted(card.ReadRecord(1, 10, got.data()), card, note) &&
               Same(first, got.data(), 10, note);
    });
    run.Step("internal authentication with key 03, checked with softenc", [&](std::string& note) {
        unsigned char challenge[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        unsigned char answer[8] = {0};
        Bytes expected(8);
        CTDES2Encryptor(kLoadedKey).ProcessBlocks(challenge, expected.data(), 8);
        return Accepted(card.InternalAuthentication(kLoadedKeyNo, challenge, answer), card, note) &&
               Same(expected, answer, 8, note);
    });
    run.Step("external authentication with key 01", [&](std::string& note) {
        unsigned char challenge[8];
        unsigned char cryptogram[8];
        if (!Accepted(card.GenerateRandom(challenge, 8), card, note)) {
            return false;
        }
        CTDES2Encryptor(kAuthKey).ProcessBlocks(challenge, cryptogram, 8);
        return Accepted(card.ExternalAuthentication(kAuthKeyNo, cryptogram), card, note);
    });
    if (sam == nullptr) {
        return;
    }
    run.Step("reset the SAM", [&](std::string& note) { return ResetShowingAtr(*sam, note); });
    run.Step("diversify the SAM's master key for the card's serial number", [&](std::string& note) {
        unsigned char fromSam[16] = {0};
        Bytes expected(16);
        DiversifyKey(ZUSIM_SAM_MASTER_KEY, Mutable(kSerial), expected.data());
        return Accepted(
                   sam->Diversify(ZUSIM_SAM_MASTER_KEY_NUMBER, 0x00, Mutable(kSerial), fromSam),
                   *sam, note) &&
               Same(expected, fromSam, 16, note);
    });
}

#endif // ZUIC_HAVE_SIM

int RunDemo(const Invocation& invocation, Output& output) {
    if (!invocation.args.positionals.empty()) {
        output.Error("demo takes no arguments (got '" +
                     Printable(invocation.args.positionals.front()) + "')");
        return kExitBadInput;
    }
#if defined(ZUIC_HAVE_SIM)
    // Built-in readers by default, never the first PC/SC reader: the demo
    // erases the card it is given.
    const std::string defaultCard = "sim";
    const std::string* requested = invocation.Reader();
    if (requested == nullptr) {
        requested = &defaultCard;
    }
    KnownReaders known = KnownReaders::Current();
    ReaderChoice cardChoice;
    std::string error;
    if (!ChooseReader(requested, known, cardChoice, error)) {
        output.Error(error);
        return kExitNoCard;
    }
    if (!cardChoice.builtIn && !invocation.args.Has("erase")) {
        output.Error("demo erases the card in '" + cardChoice.name +
                     "' and issues it anew; add --erase to go on");
        return kExitBadInput;
    }
    // The SAM: --sam, else the simulated SAM beside the simulated card.
    const std::string defaultSam = "simsam";
    const std::string* samRequested = invocation.args.Value("sam");
    if (samRequested == nullptr && cardChoice.builtIn) {
        samRequested = &defaultSam;
    }

    CZUICAPI card;
    if (!OpenReader(card, cardChoice, error)) {
        output.Error(error);
        return kExitNoCard;
    }
    CZUSAMIC sam;
    if (samRequested != nullptr) {
        ReaderChoice samChoice;
        if (!ChooseReader(samRequested, known, samChoice, error) ||
            !OpenReader(sam, samChoice, error)) {
            output.Error(error);
            return kExitNoCard;
        }
        output.Out() << "card in '" << cardChoice.name << "', SAM in '" << samChoice.name
                     << "'\n\n";
    } else {
        output.Out() << "card in '" << cardChoice.name << "', no SAM\n\n";
    }

    DemoRun run(output, invocation.args.Has("brief"));
    IssueAndUse(run, card, samRequested != nullptr ? &sam : nullptr);
    run.Summary();
    return run.ExitStatus();
#else
    output.Error("this zuic was built without the simulated card, whose keys the demo uses");
    return kExitBadInput;
#endif
}

} // namespace

const CommandSpec demoCommand = {
    "demo",
    "demo [--reader R] [--sam S] [--erase] [--brief]",
    "issue a card from blank and use it, showing every APDU",
    "Issues a card from blank with the library's own operations: erases it,\n"
    "creates the master file, a key file with a PIN and triple-DES keys, one key\n"
    "loaded encrypted and MACed in software, an application with a binary file\n"
    "that takes writes only under secure messaging and a record file. Then it\n"
    "uses them: PIN verification and change, a refused plain write, 600 bytes\n"
    "written with software MACs and read back, records, internal and external\n"
    "authentication checked against softenc, and a key diversified by the SAM\n"
    "and by softenc. Each step prints ok or FAILED (with the status word that\n"
    "the card gave the object that sent the failed command, or why no answer\n"
    "came) and the APDUs it sent, cut to 24 bytes; a table of\n"
    "the steps ends the output. --brief leaves out the APDUs. --trace prints\n"
    "every raw exchange of a step whole, after its line; with --brief, those\n"
    "are all the APDUs shown. PINs and keys show as '** (n bytes)' unless\n"
    "--show-secrets is given. Exit status 1 when a step fails, 3 when it fails\n"
    "for reader, card or service trouble (the card removed, say).\n"
    "\n"
    "The card is the built-in 'sim' (never the first PC/SC reader: the demo\n"
    "erases its card) and the SAM 'simsam' unless --reader and --sam say\n"
    "otherwise. A PC/SC reader (a simulated card served to vpcd with 'zuic sim\n"
    "--vpcd', say) also needs --erase.\n"
    "\n"
    "Examples:\n"
    "  $ zuic demo --brief\n"
    "  card in 'sim', SAM in 'simsam'\n"
    "\n"
    "  ok      reset the card: ATR 3B 8A 01 5A 55 53 49 4D 2D 43 41 52 44 EA\n"
    "  ok      erase the card's file system\n"
    "  ...\n"
    "  diversify the SAM's master key for the card's serial number      4  ok\n"
    "  all                                                             46  ok\n"
    "  $ zuic demo --trace --brief\n"
    "  card in 'sim', SAM in 'simsam'\n"
    "\n"
    "  ok      reset the card: ATR 3B 8A 01 5A 55 53 49 4D 2D 43 41 52 44 EA\n"
    "  ok      erase the card's file system\n"
    "    trace >> 80 0E 00 00 02 3F 00\n"
    "    trace << 90 00\n"
    "  ok      create the master file 3F00\n"
    "    trace >> 80 E0 00 00 0A 00 02 20 26 00 00 00 00 12 34\n"
    "    trace << 90 00\n"
    "  ok      create the key file 0001\n"
    "    trace >> 80 E0 02 00 07 00 01 05 00 08 FF 10\n"
    "    trace << 90 00\n"
    "  ok      write PIN 0 (4 digits, 3 tries)\n"
    "    trace >> 80 D4 00 00 07 ** (7 bytes)\n"
    "    trace << 90 00\n"
    "  ...\n",
    {{"reader", "R",
      "the card's reader (default sim): a built-in reader, a PC/SC reader's name, "
      "a part of it, or its index"},
     {"sam", "S", "the SAM's reader (default simsam beside a built-in card, else none)"},
     {"erase", "", "allow erasing the card in a PC/SC reader"},
     {"brief", "", "print the steps without their APDUs"}},
    &RunDemo,
};

} // namespace zuic
