#include "AtrParser.h"

#include "common/HexText.h"

#include <cstdio>

namespace zuic {

namespace {

// Clock rate conversion integer Fi and the largest clock frequency, by the
// high nibble of TA1; 0 for reserved values.
const int kFi[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
const double kFmaxMHz[16] = {4, 5, 6, 8, 12, 16, 20, 0, 0, 5, 7.5, 10, 15, 20, 0, 0};
// Baud rate adjustment integer Di, by the low nibble of TA1; 0 for reserved.
const int kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

std::string Number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

// "TA2 TC2" for the interface bytes that Y announces in group i.
std::string Announced(unsigned y, int i) {
    std::string text;
    const char* letters = "ABCD";
    for (int bit = 0; bit < 4; ++bit) {
        if ((y & (1u << bit)) != 0) {
            text += (text.empty() ? "" : " ");
            text += std::string("T") + letters[bit] + std::to_string(i);
        }
    }
    if (text.empty()) {
        return "no interface bytes follow";
    }
    return text + (text.find(' ') == std::string::npos ? " follows" : " follow");
}

std::string Ta1(unsigned char b, AtrInfo& info) {
    const int fi = kFi[b >> 4];
    const int di = kDi[b & 0x0F];
    if (fi == 0 || di == 0) {
        return std::string("Fi/Di ") + (fi == 0 ? "F" : "D") + " index reserved for future use";
    }
    info.fi = fi;
    info.di = di;
    info.fmaxMHz = kFmaxMHz[b >> 4];
    const double bitRate = info.fmaxMHz * 1e6 * di / fi;
    char buffer[160];
    std::snprintf(buffer, sizeof buffer,
                  "Fi=%d, Di=%d: %g clock cycles a bit; clock up to %s MHz, %.0f bit/s at %s MHz",
                  fi, di, static_cast<double>(fi) / di, Number(info.fmaxMHz).c_str(), bitRate,
                  Number(info.fmaxMHz).c_str());
    return buffer;
}

std::string Tc1(unsigned char b, AtrInfo& info) {
    info.extraGuardTime = b;
    if (b == 0xFF) {
        return "N=255: the least guard time (12 etu for T=0, 11 etu for T=1)";
    }
    return "extra guard time N=" + std::to_string(b) + " etu" + (b == 0 ? " (none)" : "");
}

std::string Ta2(unsigned char b) {
    return "specific mode, T=" + std::to_string(b & 0x0F) + "; " +
           ((b & 0x80) != 0 ? "mode cannot change" : "mode can change") + "; " +
           ((b & 0x10) != 0 ? "implicit parameters" : "parameters as TA1 gives them");
}

std::string Clock(unsigned char b) {
    static const char* const kStop[4] = {"clock stop not supported", "clock stop in state L",
                                         "clock stop in state H", "clock stop, no preference"};
    std::string classes;
    const char* names[3] = {"A (5 V)", "B (3 V)", "C (1.8 V)"};
    for (int bit = 0; bit < 3; ++bit) {
        if ((b & (1 << bit)) != 0) {
            classes += (classes.empty() ? "" : ", ");
            classes += names[bit];
        }
    }
    return std::string(kStop[b >> 6]) + "; classes " + (classes.empty() ? "none" : classes);
}

// What interface byte letter (0 A, 1 B, 2 C) of group i means under
// protocol t (the one the previous TD named; -1 in group 1).
std::string Meaning(int letter, int i, int t, unsigned char b, bool (&firstT1)[3], AtrInfo& info);

} // namespace

AtrInfo ParseAtr(const unsigned char* atr, size_t length) {
    AtrInfo info;
    auto add = [&info](const std::string& name, const std::string& hex,
                       const std::string& meaning) {
        info.fields.push_back({name, hex, meaning});
    };
    if (length == 0) {
        info.error = "empty: the card gave no answer to reset";
        return info;
    }
    if (atr[0] != 0x3B && atr[0] != 0x3F) {
        info.error = "TS " + FormatHex(atr, 1) +
                     " is neither 3B (direct convention) nor 3F (inverse convention): not an ATR";
        return info;
    }
    info.inverse = atr[0] == 0x3F;
    add("TS", FormatHex(atr, 1), info.inverse ? "inverse convention" : "direct convention");
    if (length < 2) {
        info.error = "the ATR ends after TS: T0 is missing";
        return info;
    }
    const unsigned char t0 = atr[1];
    const size_t k = t0 & 0x0F;
    add("T0", FormatHex(atr + 1, 1),
        "K=" + std::to_string(k) + " historical bytes; " + Announced(t0 >> 4, 1));

    size_t pos = 2;
    unsigned y = t0 >> 4;
    int group = 1;
    int t = -1; // the protocol that the previous TD named
    bool firstT1[3] = {true, true, true};
    bool anyButT0 = false;
    for (;;) {
        unsigned nextY = 0;
        int nextT = t;
        for (int letter = 0; letter < 4; ++letter) {
            if ((y & (1u << letter)) == 0) {
                continue;
            }
            const std::string name = std::string("T") + "ABCD"[letter] + std::to_string(group);
            if (pos >= length) {
                info.error = "the ATR ends after " + std::to_string(length) + " bytes: " + name +
                             ", announced by " +
                             (group == 1 ? std::string("T0") : "TD" + std::to_string(group - 1)) +
                             ", is missing";
                return info;
            }
            const unsigned char b = atr[pos++];
            if (letter == 3) {
                nextY = b >> 4;
                nextT = b & 0x0F;
                anyButT0 = anyButT0 || nextT != 0;
                if (nextT != 15) {
                    info.protocols.push_back(nextT);
                }
                add(name, FormatHex(&b, 1),
                    (nextT == 15 ? std::string("global interface bytes (T=15)")
                                 : "protocol T=" + std::to_string(nextT)) +
                        "; " + Announced(nextY, group + 1));
            } else {
                add(name, FormatHex(&b, 1), Meaning(letter, group, t, b, firstT1, info));
            }
        }
        if ((y & 0x8u) == 0) {
            break;
        }
        y = nextY;
        t = nextT;
        ++group;
    }
    if (info.protocols.empty()) {
        info.protocols.push_back(0);
    }

    info.historicalOffset = pos;
    const size_t present = length - pos < k ? length - pos : k;
    info.historicalLength = present;
    if (k != 0) {
        std::string text;
        bool printable = present != 0;
        for (size_t i = 0; i < present; ++i) {
            const unsigned char c = atr[pos + i];
            printable = printable && c >= 0x20 && c < 0x7F;
            text += static_cast<char>(c);
        }
        std::string meaning;
        const unsigned char category = present != 0 ? atr[pos] : 0;
        if (category == 0x00 || category == 0x80) {
            meaning = "category " + FormatHex(&category, 1) + ": COMPACT-TLV data objects";
        } else if (category == 0x10) {
            meaning = "category 10: a DIR data reference follows";
        } else if (category >= 0x81 && category <= 0x8F) {
            meaning = "category " + FormatHex(&category, 1) + ": reserved for future use";
        } else {
            meaning = "proprietary";
        }
        if (printable) {
            meaning += ", \"" + text + "\"";
        }
        add("historical bytes (" + std::to_string(k) + ")", FormatHex(atr + pos, present), meaning);
    }
    if (present < k) {
        info.error = "the ATR ends after " + std::to_string(length) + " bytes: T0 announces " +
                     std::to_string(k) + " historical bytes, " + std::to_string(present) +
                     " follow";
        return info;
    }
    pos += k;

    info.hasTck = anyButT0;
    if (info.hasTck) {
        if (pos >= length) {
            info.error = "the ATR ends after " + std::to_string(length) +
                         " bytes: TCK is missing (a protocol other than T=0 is offered)";
            return info;
        }
        unsigned char sum = 0;
        for (size_t i = 1; i < pos; ++i) {
            sum ^= atr[i];
        }
        info.tckExpected = sum;
        info.tckCorrect = sum == atr[pos];
        add("TCK", FormatHex(atr + pos, 1),
            info.tckCorrect ? "check byte correct"
                            : "check byte WRONG: T0 to TCK do not XOR to 00; TCK should be " +
                                  FormatHex(&sum, 1));
        ++pos;
    }
    if (pos < length) {
        info.error = std::to_string(length - pos) + " byte" + (length - pos == 1 ? "" : "s") +
                     " after the end of the ATR (" +
                     (info.hasTck ? "TCK" : "the historical bytes") + " ended it at " +
                     std::to_string(pos) + " bytes)";
        return info;
    }
    if (pos > kMaxAtrLength) {
        info.error = "the ATR has " + std::to_string(pos) + " bytes, more than the " +
                     std::to_string(kMaxAtrLength) + " an ATR may have";
        return info;
    }
    info.wellFormed = true;
    return info;
}

namespace {

std::string Meaning(int letter, int i, int t, unsigned char b, bool (&firstT1)[3], AtrInfo& info) {
    if (i == 1) {
        switch (letter) {
        case 0:
            return Ta1(b, info);
        case 1:
            return b == 0 ? "no programming voltage" : "programming voltage (deprecated)";
        default:
            return Tc1(b, info);
        }
    }
    if (i == 2) {
        switch (letter) {
        case 0:
            return Ta2(b);
        case 1:
            return "programming voltage PI2 (deprecated)";
        default:
            if (t == 0) {
                return "work waiting integer WI=" + std::to_string(b) + ": waiting time 960 x " +
                       std::to_string(b) + " x Fi clock cycles";
            }
            return "for T=" + std::to_string(t);
        }
    }
    if (t == 15) {
        return letter == 0 ? Clock(b)
                           : (letter == 1 ? "use of contact C6 (SPU)" : "reserved for future use");
    }
    if (t == 1 && firstT1[letter]) {
        firstT1[letter] = false;
        switch (letter) {
        case 0:
            if (b == 0x00 || b == 0xFF) {
                return "IFSC " + std::to_string(b) + ": reserved value";
            }
            info.ifsc = b;
            return "IFSC=" + std::to_string(b) + " bytes (the card's largest block)";
        case 1: {
            info.bwi = b >> 4;
            info.cwi = b & 0x0F;
            const unsigned long cwt = 11ul + (1ul << info.cwi);
            return "BWI=" + std::to_string(info.bwi) + ": block waiting time 11 etu + " +
                   std::to_string(1ul << info.bwi) +
                   " x 960 x 372 clock cycles; CWI=" + std::to_string(info.cwi) +
                   ": character waiting time " + std::to_string(cwt) + " etu";
        }
        default:
            return (b & 1) != 0 ? "error detection by CRC" : "error detection by LRC";
        }
    }
    return "for T=" + std::to_string(t);
}

} // namespace

std::vector<std::string> ExplainAtr(const AtrInfo& info) {
    std::vector<std::string> lines;
    for (const AtrField& field : info.fields) {
        std::string name = field.name;
        name += name.size() < 4 ? std::string(4 - name.size(), ' ') : ":";
        lines.push_back("  " + name + " " + field.hex + "  " + field.meaning);
    }
    if (!info.wellFormed) {
        lines.push_back("  error: " + info.error);
    }
    return lines;
}

} // namespace zuic
