// zuic watch: each reader's state, then every card inserted or removed and
// every reader added or gone, as PC/SC reports them. The process sleeps in
// SCardGetStatusChange between events.
#include "AtrParser.h"
#include "BuiltInReaders.h"
#include "Commands.h"
#include "common/HexText.h"
#include "ReaderSelection.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace zuic {

namespace {

const char kPnp[] = "\\\\?PnP?\\Notification";

struct Watched {
    std::string name;
    DWORD state = SCARD_STATE_UNAWARE;
};

void PrintAtrLines(Output& output, const unsigned char* atr, size_t length) {
    for (const std::string& line : ExplainAtr(ParseAtr(atr, length))) {
        output.Out() << line << '\n';
    }
}

// Whether to watch a PC/SC reader: every one, or the one --reader chose.
bool Wanted(const std::string* chosen, const std::string& name) {
    return chosen == nullptr || name == *chosen;
}

std::vector<std::string> ListReaders(SCARDCONTEXT context, LONG& rc) {
    std::vector<std::string> names;
    DWORD length = 0;
    rc = SCardListReaders(context, nullptr, nullptr, &length);
    if (rc != SCARD_S_SUCCESS || length == 0) {
        if (rc == SCARD_E_NO_READERS_AVAILABLE) {
            rc = SCARD_S_SUCCESS;
        }
        return names;
    }
    std::vector<char> buffer(length);
    rc = SCardListReaders(context, nullptr, buffer.data(), &length);
    if (rc == SCARD_E_NO_READERS_AVAILABLE) {
        rc = SCARD_S_SUCCESS;
        return names;
    }
    for (size_t at = 0; rc == SCARD_S_SUCCESS && at < length && buffer[at] != '\0';) {
        std::string name(&buffer[at]);
        at += name.size() + 1;
        names.push_back(name);
    }
    return names;
}

std::string StateText(const SCARD_READERSTATE& state) {
    if ((state.dwEventState & SCARD_STATE_PRESENT) == 0) {
        return "no card";
    }
    if ((state.dwEventState & SCARD_STATE_MUTE) != 0) {
        return "card present, mute (no answer to reset)";
    }
    return "card present, ATR " + FormatHex(state.rgbAtr, state.cbAtr);
}

bool Present(DWORD state) {
    return (state & SCARD_STATE_PRESENT) != 0;
}

int RunWatch(const Invocation& invocation, Output& output) {
    if (!invocation.args.positionals.empty()) {
        output.Error("watch takes no arguments (got '" +
                     Printable(invocation.args.positionals.front()) + "')");
        return kExitBadInput;
    }
    long count = -1; // events to wait for; -1: until interrupted
    if (const std::string* text = invocation.args.Value("count")) {
        char* end = nullptr;
        count = std::strtol(text->c_str(), &end, 10);
        if (text->empty() || *end != '\0' || count < 0 || text->size() > 9) {
            output.Error("--count wants a number of events from 0 (got '" + Printable(*text) +
                         "')");
            return kExitBadInput;
        }
    }
    std::ostream& out = output.Out();
    const std::string* requested = invocation.Reader();
    std::string byIndex;
    KnownReaders known = KnownReaders::Current();
    if (requested != nullptr) {
        ReaderChoice choice;
        std::string error;
        if (!ChooseReader(requested, known, choice, error)) {
            output.Error(error);
            return kExitNoCard;
        }
        byIndex = choice.name;
        requested = &byIndex;
    }

    // The built-in readers first: their cards are always there.
    bool watchingBuiltIn = false;
    for (const BuiltInReader& r : known.builtIn) {
        if (requested != nullptr && *requested != r.name) {
            continue;
        }
        watchingBuiltIn = true;
        CZUReader reader;
        std::string name = r.name;
        unsigned char atr[64];
        unsigned long atrLength = sizeof atr;
        if (reader.Open(&name[0], ZU_PROTOCOL_ANY) == 0 || reader.Reset(atr, &atrLength) == 0) {
            out << r.name << ": no card\n";
            continue;
        }
        out << r.name << ": card present, ATR " << FormatHex(atr, atrLength) << '\n';
        PrintAtrLines(output, atr, atrLength);
    }
    const bool builtInOnly = watchingBuiltIn && requested != nullptr;

    SCARDCONTEXT context = 0;
    LONG rc = builtInOnly ? SCARD_E_NO_SERVICE
                          : SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rc != SCARD_S_SUCCESS) {
        if (count == 0) {
            out.flush();
            return kExitOk;
        }
        output.Error(builtInOnly ? "the built-in readers never change: nothing to watch"
                                 : "no PC/SC service to watch (is pcscd running?)");
        return kExitNoCard;
    }

    std::vector<Watched> watched;
    for (const std::string& name : ListReaders(context, rc)) {
        if (Wanted(requested, name)) {
            watched.push_back({name});
        }
    }
    bool first = true;
    long events = 0;
    DWORD pnpState = SCARD_STATE_UNAWARE;
    while (rc == SCARD_S_SUCCESS && (count < 0 || events < count || first)) {
        std::vector<SCARD_READERSTATE> states(watched.size() + 1);
        for (size_t i = 0; i < watched.size(); ++i) {
            states[i].szReader = watched[i].name.c_str();
            states[i].dwCurrentState = watched[i].state;
        }
        states.back().szReader = kPnp;
        states.back().dwCurrentState = pnpState;
        rc = SCardGetStatusChange(context, first ? 0 : INFINITE, states.data(),
                                  static_cast<DWORD>(states.size()));
        if (rc == SCARD_E_TIMEOUT) {
            rc = SCARD_S_SUCCESS;
        }
        if (rc != SCARD_S_SUCCESS) {
            break;
        }
        for (size_t i = 0; i < watched.size(); ++i) {
            const SCARD_READERSTATE& s = states[i];
            const DWORD before = watched[i].state;
            watched[i].state = s.dwEventState & ~SCARD_STATE_CHANGED;
            if (first) {
                out << watched[i].name << ": " << StateText(s) << '\n';
                if (Present(s.dwEventState)) {
                    PrintAtrLines(output, s.rgbAtr, s.cbAtr);
                }
                continue;
            }
            if ((s.dwEventState & SCARD_STATE_CHANGED) == 0 ||
                Present(before) == Present(s.dwEventState)) {
                continue;
            }
            ++events;
            if (Present(s.dwEventState)) {
                out << watched[i].name << ": card inserted, ATR " << FormatHex(s.rgbAtr, s.cbAtr)
                    << '\n';
                PrintAtrLines(output, s.rgbAtr, s.cbAtr);
            } else {
                out << watched[i].name << ": card removed\n";
            }
        }
        pnpState = states.back().dwEventState & ~SCARD_STATE_CHANGED;
        if (!first && (states.back().dwEventState & SCARD_STATE_CHANGED) != 0) {
            // Readers came or went: compare the list with the watched ones.
            std::vector<std::string> now = ListReaders(context, rc);
            std::vector<Watched> kept;
            for (const Watched& w : watched) {
                bool still = false;
                for (const std::string& name : now) {
                    still = still || name == w.name;
                }
                if (still) {
                    kept.push_back(w);
                } else {
                    ++events;
                    out << "reader gone: " << w.name << '\n';
                }
            }
            for (const std::string& name : now) {
                bool had = false;
                for (const Watched& w : watched) {
                    had = had || name == w.name;
                }
                if (!had && Wanted(requested, name)) {
                    ++events;
                    out << "reader added: " << name << '\n';
                    kept.push_back({name});
                }
            }
            watched.swap(kept);
        }
        if (first) {
            if (watched.empty() && !watchingBuiltIn) {
                out << "no PC/SC reader yet\n";
            }
            if (count != 0) {
                out << "watching for cards and readers"
                    << (count > 0 ? " until " + std::to_string(count) + " events" : "")
                    << " (interrupt to stop)\n";
            }
        }
        first = false;
        out.flush();
    }
    SCardReleaseContext(context);
    if (rc != SCARD_S_SUCCESS) {
        output.Error(std::string("the PC/SC service stopped answering: ") +
                     pcsc_stringify_error(rc));
        return kExitNoCard;
    }
    return kExitOk;
}

} // namespace

const CommandSpec watchCommand = {
    "watch",
    "watch [--reader R] [--count N]",
    "watch readers for cards inserted and removed, explaining each ATR",
    "Prints each reader's state (PC/SC readers, and the built-in readers with\n"
    "--reader or when watching all), then every change as PC/SC reports it: a\n"
    "card inserted, with its ATR explained as zuic atr does, a card removed, a\n"
    "reader added or gone. It waits in SCardGetStatusChange between events and\n"
    "runs until interrupted, or until N events with --count N (--count 0: the\n"
    "state at start alone). --reader R watches that one reader (chosen as the\n"
    "other commands choose it); a built-in reader's card is always there.\n"
    "\n"
    "Exit status 0 after N events or the state at start; 2 for bad input; 3\n"
    "when there is no such reader or no PC/SC service.\n"
    "\n"
    "Example:\n"
    "  $ zuic watch --reader sim --count 0\n"
    "  sim: card present, ATR 3B 8A 01 5A 55 53 49 4D 2D 43 41 52 44 EA\n"
    "    TS   3B  direct convention\n"
    "    T0   8A  K=10 historical bytes; TD1 follows\n"
    "    TD1  01  protocol T=1; no interface bytes follow\n"
    "    historical bytes (10): 5A 55 53 49 4D 2D 43 41 52 44  proprietary, \"ZUSIM-CARD\"\n"
    "    TCK  EA  check byte correct\n",
    {{"reader", "R",
      "watch only this reader: a built-in reader, a PC/SC reader's name or a part of it, or its "
      "index (default: every reader)"},
     {"count", "N", "stop after N events (default: until interrupted)"}},
    &RunWatch,
};

} // namespace zuic
