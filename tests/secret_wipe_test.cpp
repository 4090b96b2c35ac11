// Secrets do not outlive the call that used them. Each case runs an operation
// with a recognisable secret, then looks for the secret where the operation
// could have left it: in the dead stack below the caller (the frames the call
// used and gave back) or in heap blocks handed back to the allocator. This
// program is linked with free and realloc wrapped, so that every block the
// library frees, or gives to a realloc that may move it, is scanned first.
// Each kind of scan is shown to find a secret that a careless function leaves.
// The build binds symbols at load time (-z now): a lazily bound first call
// would have the dynamic linker save the vector registers, and any key bytes
// in them, on the stack.
#include "DESCore.h"
#include "ZUICAPI.h"
#include "softenc.h"
#include "support/Hex.h"
#include "support/RecordingCard.h"
#include "support/ScriptedTransport.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
void __real_free(void* block);
void* __real_realloc(void* block, size_t size);
void __wrap_free(void* block);
void* __wrap_realloc(void* block, size_t size);
}

namespace {

// The secrets looked for while a heap watch is on, and how often one of
// them was found in a block leaving the library's hands.
std::vector<Bytes> g_watched;
bool g_watching = false;
int g_heapHits = 0;
std::vector<void*> g_freed; // blocks freed while watching

bool Holds(const unsigned char* area, size_t size, const Bytes& secret) {
    return std::search(area, area + size, secret.begin(), secret.end()) != area + size;
}

void ScanBlock(void* block) {
    if (!g_watching || block == nullptr) {
        return;
    }
    const size_t size = malloc_usable_size(block);
    for (const Bytes& secret : g_watched) {
        if (Holds(static_cast<unsigned char*>(block), size, secret)) {
            ++g_heapHits;
        }
    }
}

} // namespace

extern "C" void __wrap_free(void* block) {
    ScanBlock(block);
    if (g_watching && block != nullptr && g_freed.size() < g_freed.capacity()) {
        g_freed.push_back(block);
    }
    __real_free(block);
}

extern "C" void* __wrap_realloc(void* block, size_t size) {
    // A realloc that cannot grow the block where it stands moves the bytes
    // and frees the old block inside the C library, unwiped.
    if (block != nullptr && size > malloc_usable_size(block)) {
        ScanBlock(block);
    }
    return __real_realloc(block, size);
}

namespace {

const size_t kDeadStack = 32 * 1024;

// Fills the stack below the caller with zeros, so that a later scan sees only
// what the operation under test leaves there.
__attribute__((noinline)) void ClearDeadStack() {
    unsigned char region[kDeadStack];
    std::memset(region, 0, sizeof region);
    asm volatile("" : : "r"(region) : "memory");
}

// Looks for any of the secrets in the stack below the caller: the frames that
// the previous call used. region is deliberately not initialised.
__attribute__((noinline)) bool DeadStackHolds(const std::vector<Bytes>* secrets) {
    unsigned char region[kDeadStack];
    asm volatile("" : : "r"(region) : "memory");
    bool found = false;
    for (const Bytes& secret : *secrets) {
        found = found || Holds(region, sizeof region, secret);
    }
    asm volatile("" : : "r"(region) : "memory");
    return found;
}

// Runs f with its frames well below the caller's, out of reach of the few
// bytes that the scan's own frame overwrites at its top.
__attribute__((noinline)) void RunBelow(const std::function<void()>& f) {
    volatile unsigned char pad[512];
    pad[0] = 0;
    f();
    asm volatile("" : : "r"(pad) : "memory");
}

// Which of the secrets the dead stack holds, for the failure message.
std::string Found(const std::vector<Bytes>& secrets) {
    std::string names;
    for (const Bytes& secret : secrets) {
        std::vector<Bytes> one = {secret};
        if (DeadStackHolds(&one)) {
            names += " [" + ToHex(secret) + "]";
        }
    }
    return names;
}

// The scan's own check: a function that keeps a key on its stack and returns.
__attribute__((noinline)) void LeavesKeyOnStack(const unsigned char* key) {
    unsigned char copy[16];
    std::memcpy(copy, key, sizeof copy);
    asm volatile("" : : "r"(copy) : "memory");
}

const Bytes kKey = FromHex("3C A1 5E 97 D2 0B 64 F8 1D 86 E9 42 B7 5A C3 2F");
const Bytes kPin = FromHex("D7 31 9B 4E A6 58 0C E3");
const Bytes kKeyRecord = FromHex("01 02 00 9A 6F 3D C8 15 B2 E4 77 09 4C A3 D1 86 5E 2B F0");

Bytes Left(const Bytes& key) {
    return Bytes(key.begin(), key.begin() + 8);
}
Bytes Right(const Bytes& key) {
    return Bytes(key.begin() + 8, key.begin() + 16);
}
// The first four round keys of the single-DES schedule of an 8-byte key, as
// the schedule holds them in memory.
Bytes Schedule(const Bytes& key8) {
    DESContext context;
    DESSetKey(&context, key8.data());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(context.encrypt);
    Bytes words(p, p + 32);
    std::memset(&context, 0, sizeof context);
    return words;
}
// Everything derived from a 16-byte key that a computation could leave.
std::vector<Bytes> KeyTraces(const Bytes& key) {
    return {Left(key), Right(key), Schedule(Left(key)), Schedule(Right(key))};
}

struct StackCase {
    const char* name;
    std::function<void()> run;
    std::function<std::vector<Bytes>()> secrets; // computed before the run
};

} // namespace

TEST(SecretWipe, TheDeadStackScanFindsAKeyLeftBehind) {
    const std::vector<Bytes> secrets = {kKey};
    ClearDeadStack();
    EXPECT_FALSE(DeadStackHolds(&secrets));
    RunBelow([] { LeavesKeyOnStack(kKey.data()); });
    EXPECT_TRUE(DeadStackHolds(&secrets));
}

TEST(SecretWipe, NothingSecretStaysOnTheStack) {
    RecordingCard<CZUSAMIC> card;
    const Bytes factor = FromHex("01 23 45 67 89 AB CD EF");
    const Bytes data = FromHex("11 22 33 44 55 66 77 88 99");
    auto derivedKey = [&] {
        Bytes derived(16);
        DiversifyKey(kKey.data(), factor.data(), derived.data());
        return derived;
    };
    const StackCase cases[] = {
        {"VerifyPin",
         [&] {
             Bytes pin = kPin;
             int tries = 0;
             card.VerifyPin(pin.data(), pin.size(), tries);
         },
         [] { return std::vector<Bytes>{kPin}; }},
        {"ChangePin",
         [&] {
             Bytes oldPin = Left(kPin), newPin = FromHex("5B 0E C2 79");
             card.ChangePin(oldPin.data(), 4, newPin.data(), 4);
         },
         [] {
             return std::vector<Bytes>{Left(kPin), FromHex("FF 5B 0E C2 79")};
         }},
        {"WriteKey",
         [&] {
             Bytes record = kKeyRecord;
             card.WriteKey(0x00, record.data(), record.size());
         },
         [] { return std::vector<Bytes>{Bytes(kKeyRecord.begin() + 3, kKeyRecord.end())}; }},
        {"WriteSAMKeyWithSoftwareCalc",
         [&] {
             Bytes key = kKey, record = kKeyRecord;
             card.Answer(1, "A1 B2 C3 D4");
             WriteSAMKeyWithSoftwareCalc(&card, key.data(), record.data(), record.size());
         },
         [] {
             std::vector<Bytes> s = KeyTraces(kKey);
             s.push_back(Bytes(kKeyRecord.begin() + 3, kKeyRecord.end()));
             return s;
         }},
        {"DiversifyKey",
         [&] {
             Bytes out(16);
             DiversifyKey(kKey.data(), factor.data(), out.data());
         },
         [] { return KeyTraces(kKey); }},
        {"CDESMac",
         [&] {
             unsigned char mac[4];
             CDESMac engine;
             engine.Init(kKey.data(), 16, nullptr);
             engine.Update(data.data(), data.size());
             engine.Final(mac);
         },
         [] { return KeyTraces(kKey); }},
        {"CDESMac abandoned",
         [&] {
             CDESMac engine;
             engine.Init(kKey.data(), 16, nullptr);
             engine.Update(data.data(), data.size());
         },
         [] {
             return std::vector<Bytes>{Left(kKey), Right(kKey)};
         }},
        {"CTDES3Decryptor",
         [&] {
             Bytes key24 = kKey;
             key24.insert(key24.end(), kPin.begin(), kPin.end());
             Bytes block = data;
             CTDES3Decryptor(key24.data()).ProcessBlocks(block.data(), 8);
         },
         [] {
             return std::vector<Bytes>{Left(kKey), Right(kKey), kPin, Schedule(kPin)};
         }},
        {"CalcXorKeyMac",
         [&] {
             unsigned char mac[4];
             CalcXorKeyMac(kKey.data(), data.data(), data.size(), mac);
         },
         [] {
             Bytes x(8);
             for (int i = 0; i < 8; ++i) {
                 x[i] = kKey[i] ^ kKey[i + 8];
             }
             return std::vector<Bytes>{x, Schedule(x)};
         }},
        {"CalcSessionMac",
         [&] {
             unsigned char counter[4], mac[4];
             const Bytes in = FromHex("01 02 03 04 05 06 07"),
                         seven = FromHex("0A 0B 0C 0D 0E 0F 10");
             CalcSessionMac(kKey.data(), factor.data(), in.data(), in.data(), in.data(), 0x5A,
                            in.data(), seven.data(), counter, mac);
         },
         [&] {
             std::vector<Bytes> s = KeyTraces(derivedKey());
             s.push_back(Left(kKey));
             return s;
         }},
    };
    for (const StackCase& c : cases) {
        const std::vector<Bytes> secrets = c.secrets();
        ClearDeadStack();
        RunBelow(c.run);
        EXPECT_FALSE(DeadStackHolds(&secrets))
            << c.name << " leaves a secret on the stack:" << Found(secrets);
    }
}

TEST(SecretWipe, TheReaderWipesItsResendCopyAndAnswerBuffer) {
    CZUReader reader;
    auto transport = std::make_shared<ScriptedTransport>();
    ASSERT_EQ(1, ZUOpenTransport(reader, transport));
    const std::string pin = ToHex(kPin);
    const std::string key = ToHex(kKey);
    // A VERIFY that the card wants again with Le (the copy carries the PIN),
    // then a command whose answer is a key.
    transport->Expect("00 20 00 00 08 " + pin, "6C 00")
        .Expect("00 20 00 00 08 " + pin + " 00", "90 00");
    transport->Expect("80 FC 00 00 10", key + " 90 00");
    const std::vector<Bytes> secrets = {kPin, kKey};

    ClearDeadStack();
    {
        Bytes cmd = FromHex("00 20 00 00 08 " + pin);
        RunBelow([&] { reader.SendCommand(cmd.data(), cmd.size(), nullptr, nullptr); });
    }
    EXPECT_FALSE(DeadStackHolds(&secrets)) << "the re-sent command";
    Bytes answer(16);
    unsigned long answerLen = answer.size();
    ClearDeadStack();
    {
        Bytes cmd = FromHex("80 FC 00 00 10");
        RunBelow([&] {
            EXPECT_EQ(1, reader.SendCommand(cmd.data(), cmd.size(), answer.data(), &answerLen));
        });
    }
    EXPECT_FALSE(DeadStackHolds(&secrets)) << "the answer buffer";
    EXPECT_EQ(kKey, answer);
    EXPECT_TRUE(transport->Done());
}

TEST(SecretWipe, FreedBlocksHoldNoSecret) {
    struct HeapCase {
        const char* name;
        std::function<void()> run;
    };
    const Bytes big(4096, 0x11);
    const HeapCase cases[] = {
        {"the scan itself: a block freed as it is",
         [] {
             unsigned char* block = static_cast<unsigned char*>(std::malloc(32));
             std::memcpy(block, kKey.data(), 16);
             asm volatile("" : : "r"(block) : "memory");
             std::free(block);
         }},
        {"CByteBuffer destroyed",
         [] {
             CByteBuffer buffer;
             buffer.Append(kKey.data(), 16);
         }},
        {"CByteBuffer grown past its block",
         [&] {
             CByteBuffer buffer;
             buffer.Append(kKey.data(), 16);
             void* first = buffer.Data();
             buffer.Append(big.data(), 4096);
             // The old block went back to the allocator (and was scanned).
             EXPECT_NE(std::find(g_freed.begin(), g_freed.end(), first), g_freed.end());
             buffer.Append(buffer.Data(), 16); // from its own block, which moves
             EXPECT_EQ(kKey, Bytes(buffer.Data() + 4112, buffer.Data() + 4128));
         }},
        {"CByteBuffer assigned over",
         [] {
             CByteBuffer buffer, other;
             buffer.Append(kKey.data(), 16);
             other.Append(kPin.data(), 4);
             buffer = other;
             CByteBuffer empty;
             other = empty;
             EXPECT_EQ(Bytes(kPin.begin(), kPin.begin() + 4),
                       Bytes(buffer.Data(), buffer.Data() + 4));
         }},
        {"CPrivateKeyData destroyed",
         [] {
             CPrivateKeyData key(1024);
             key.prime1.Append(kKey.data(), 16);
             key.coefficient.Append(kPin.data(), 8);
         }},
        {"CMD5 destroyed before Final",
         [] {
             CMD5 md5;
             md5.Update(kKey.data(), 16);
         }},
        {"CSHA1 destroyed before Final",
         [] {
             CSHA1 sha1;
             sha1.Update(kKey.data(), 16);
         }},
    };
    g_watched = {Left(kKey), Right(kKey), Left(kPin)};
    bool first = true;
    for (const HeapCase& c : cases) {
        g_heapHits = 0;
        g_freed.clear();
        g_freed.reserve(4096); // no reallocation while the wrapper records
        g_watching = true;
        c.run();
        g_watching = false;
        if (first) {
            EXPECT_GT(g_heapHits, 0) << "the heap scan does not see freed blocks";
            first = false;
        } else {
            EXPECT_EQ(0, g_heapHits) << c.name;
        }
    }
}

// The triple-DES schedules, now built in place, still give what the cipher
// classes give, both ways.
TEST(SecretWipe, TripleDesSchedulesAgreeWithTheCiphers) {
    const Bytes key24 = FromHex("3CA15E97D20B64F8 1D86E942B75AC32F D7319B4EA6580CE3");
    const Bytes block = FromHex("01 23 45 67 89 AB CD EF");
    for (int parts : {2, 3}) {
        SCOPED_TRACE(parts);
        DES3Context context;
        unsigned char viaContext[8], viaClass[8], back[8];
        if (parts == 2) {
            DES3SetKey2(&context, key24.data());
            CTDES2Encryptor(key24.data()).ProcessBlocks(block.data(), viaClass, 8);
        } else {
            DES3SetKey3(&context, key24.data());
            CTDES3Encryptor(key24.data()).ProcessBlocks(block.data(), viaClass, 8);
        }
        DES3EncryptBlock(&context, block.data(), viaContext);
        EXPECT_EQ(ToHex(viaClass, 8), ToHex(viaContext, 8));
        DES3DecryptBlock(&context, viaContext, back);
        EXPECT_EQ(ToHex(block), ToHex(back, 8));
    }
}
