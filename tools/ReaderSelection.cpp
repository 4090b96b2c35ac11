#include "ReaderSelection.h"

#include "Reasons.h"

namespace zuic {

KnownReaders KnownReaders::Current() {
    KnownReaders known;
    known.pcsc = ZUListPCSCReaders();
    known.pcscReason = ZUGetLastError();
    known.pcscCode = ZUGetLastPCSCError();
    known.builtIn = BuiltInReaders();
    return known;
}

std::string KnownReaders::List() const {
    std::string list;
    auto add = [&list](const std::string& name) {
        if (!list.empty()) {
            list += ", ";
        }
        list += "'" + name + "'";
    };
    for (const BuiltInReader& r : builtIn) {
        add(r.name);
    }
    for (const std::string& name : pcsc) {
        add(name);
    }
    return list.empty() ? "none" : list;
}

bool ChooseReader(const std::string* requested, const KnownReaders& known, ReaderChoice& choice,
                  std::string& error) {
    choice = ReaderChoice();
    // Without a PC/SC service every PC/SC reader is unknown: say why.
    const std::string offline = known.pcscReason == ZU_E_NONE
                                    ? std::string()
                                    : ReasonMessage(known.pcscReason, known.pcscCode, "");
    if (requested == nullptr) {
        if (!known.pcsc.empty()) {
            choice.name = known.pcsc.front();
            choice.pcscIndex = 0;
            return true;
        }
        if (!known.builtIn.empty()) {
            choice.name = known.builtIn.front().name;
            choice.builtIn = true;
            return true;
        }
        error = "no reader found: " +
                (offline.empty() ? std::string("no PC/SC reader is connected") : offline) +
                " and this zuic has no built-in simulated reader";
        return false;
    }
    const std::string& name = *requested;
    // A number is the reader's index in the PC/SC list, from 0, as zuic
    // readers lists them.
    if (!name.empty() && name.size() <= 4 &&
        name.find_first_not_of("0123456789") == std::string::npos) {
        size_t index = std::stoul(name);
        if (index < known.pcsc.size()) {
            choice.name = known.pcsc[index];
            choice.pcscIndex = static_cast<int>(index);
            return true;
        }
        error = "no PC/SC reader " + name +
                (!offline.empty() ? ": " + offline
                                  : " (the PC/SC readers are numbered from 0; there " +
                                        (known.pcsc.size() == 1
                                             ? std::string("is 1)")
                                             : "are " + std::to_string(known.pcsc.size()) + ")"));
        return false;
    }
    for (const BuiltInReader& r : known.builtIn) {
        // A built-in reader takes the simulator's options after a colon
        // ("sim:t0", "simsam:remove=3"); opening it checks them.
        if (name == r.name || name.compare(0, r.name.size() + 1, r.name + ":") == 0) {
            choice.name = name;
            choice.builtIn = true;
            return true;
        }
    }
    for (size_t i = 0; i < known.pcsc.size(); ++i) {
        if (known.pcsc[i] == name) {
            choice.name = name;
            choice.pcscIndex = static_cast<int>(i);
            return true;
        }
    }
    // Names beginning with "sim" belong to the in-process readers; a part of
    // a PC/SC reader's name is matched as the reader layer matches it.
    if (!name.empty() && name.compare(0, 3, "sim") != 0) {
        for (size_t i = 0; i < known.pcsc.size(); ++i) {
            if (known.pcsc[i].find(name) != std::string::npos) {
                choice.name = known.pcsc[i];
                choice.pcscIndex = static_cast<int>(i);
                return true;
            }
        }
    }
    error = "unknown reader '" + Printable(name, 80) + "'; known readers: " + known.List() +
            (offline.empty() ? "" : "; " + offline);
    return false;
}

bool RequireCard(CZUReader& reader, const std::string& name, std::string& error) {
    if (reader.IsCardExist() == 0) {
        Failure failure = LastFailure(); // no card, or the reader's trouble
        if (failure.reason == ZU_E_CARD_REMOVED) {
            failure.reason = ZU_E_NO_CARD; // gone before zuic sent anything: none there
        }
        error = ReasonMessage(failure.reason, failure.pcscCode, name);
        return false;
    }
    return true;
}

bool OpenReader(CZUReader& reader, const ReaderChoice& choice, std::string& error) {
    if (choice.builtIn) {
        std::string name = choice.name;
        if (reader.Open(&name[0], ZU_PROTOCOL_ANY) == 0) {
            error = "cannot open reader '" + choice.name + "'"; // its options, or the protocol
            return false;
        }
    } else if (reader.Open(choice.pcscIndex, ZU_PROTOCOL_ANY) == 0) {
        // PC/SC refuses the connection when the reader is empty (or a card
        // in it does not answer), when the reader or the service went away.
        const Failure failure = LastFailure();
        error = ReasonMessage(failure.reason, failure.pcscCode, choice.name);
        return false;
    }
    return RequireCard(reader, choice.name, error);
}

int RunOnCommandReader(const std::string* requested, Output& output,
                       const std::function<int(CZUReader&, const std::string&)>& run) {
    ReaderChoice choice;
    std::string error;
    CZUReader reader;
    if (!ChooseReader(requested, KnownReaders::Current(), choice, error) ||
        !OpenReader(reader, choice, error)) {
        output.Error(error);
        return kExitNoCard;
    }
    return run(reader, choice.name);
}

} // namespace zuic
