// CDESMac over a message in random pieces gives the MAC of the whole and the
// MAC computed here from the block ciphers (padding method 2, CBC under the
// key's first half, for a 16-byte key the output transformation, the
// leftmost 4 bytes), for keys of 0 to 24 bytes with or without an initial
// value; and AppendISOPadding on any length. Keys, initial values and
// pieces lie in heap blocks of exactly their length, the MAC and the padded
// buffer between canaries.
#include "CanaryBuffer.h"
#include "common/Bytes.h"
#include "FuzzCheck.h"
#include "softenc.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

std::unique_ptr<unsigned char[]> Exactly(const Bytes& bytes) {
    std::unique_ptr<unsigned char[]> block(new unsigned char[bytes.size()]);
    if (!bytes.empty()) {
        std::memcpy(block.get(), bytes.data(), bytes.size());
    }
    return block;
}

// The MAC as the engine documents it. A key longer than 16 bytes is refused:
// nothing is absorbed and Final writes 00 00 00 00, no MAC at all. An empty
// key leaves the engine uninitialised: the MAC is that of the padding block
// under the zero key.
Bytes Expected(const Bytes& key, const Bytes* iv, const Bytes& message) {
    if (key.size() > 16) {
        return Bytes(4, 0x00);
    }
    unsigned char field[16] = {0};
    const bool taken = key.size() <= 16;
    if (taken && !key.empty()) {
        std::memcpy(field, key.data(), key.size());
    }
    Bytes padded = taken && !key.empty() ? message : Bytes();
    padded.push_back(0x80);
    while (padded.size() % 8 != 0) {
        padded.push_back(0x00);
    }
    unsigned char chain[8] = {0};
    if (taken && iv != nullptr) {
        std::memcpy(chain, iv->data(), 8);
    }
    CDESEncryptor k1(field);
    for (size_t at = 0; at < padded.size(); at += 8) {
        for (int i = 0; i < 8; ++i) {
            chain[i] ^= padded[at + i];
        }
        k1.ProcessBlocks(chain, 8);
    }
    if (key.size() == 16) {
        CDESDecryptor(field + 8).ProcessBlocks(chain, 8);
        k1.ProcessBlocks(chain, 8);
    }
    return Bytes(chain, chain + 4);
}

void Padding(FuzzedDataProvider& in) {
    const unsigned long length = in.ConsumeIntegralInRange<unsigned long>(0, 300);
    const unsigned long added = 8 - length % 8;
    CCanaryBuffer buffer(length + added);
    unsigned long padded = length;
    AppendISOPadding(buffer.Data(), &padded);
    buffer.CheckCanaries();
    FUZZ_CHECK(padded == length + added && padded % 8 == 0, "padded to the wrong length");
    FUZZ_CHECK(buffer.Untouched(0, length), "the data before the padding changed");
    FUZZ_CHECK(buffer.Data()[length] == 0x80, "the padding does not start with 80");
    for (unsigned long i = length + 1; i < padded; ++i) {
        FUZZ_CHECK(buffer.Data()[i] == 0x00, "the padding is not zeros after 80");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
        Padding(in);
        return 0;
    }
    size_t keyLength;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        keyLength = 8;
        break;
    case 1:
    case 2:
        keyLength = 16;
        break;
    default:
        keyLength = in.ConsumeIntegralInRange<size_t>(0, 24);
        break;
    }
    Bytes key = in.ConsumeBytes<unsigned char>(keyLength);
    key.resize(keyLength);
    const bool withIv = in.ConsumeBool();
    Bytes iv = in.ConsumeBytes<unsigned char>(8);
    iv.resize(8);
    const Bytes message = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<size_t>(0, 600));

    std::unique_ptr<unsigned char[]> keyBlock = Exactly(key);
    std::unique_ptr<unsigned char[]> ivBlock = Exactly(iv);
    CDESMac mac;
    mac.Init(keyBlock.get(), keyLength, withIv ? ivBlock.get() : nullptr);
    const int initialised = keyLength != 0 && keyLength <= 16 ? 1 : 0;
    size_t at = 0;
    do {
        size_t piece = in.ConsumeIntegralInRange<size_t>(0, message.size() - at);
        if (in.remaining_bytes() == 0) {
            piece = message.size() - at;
        }
        std::unique_ptr<unsigned char[]> run =
            Exactly(Bytes(message.begin() + at, message.begin() + at + piece));
        FUZZ_CHECK(mac.Update(run.get(), piece) == initialised, "Update's result is wrong");
        at += piece;
    } while (at < message.size());
    CCanaryBuffer result(4);
    mac.Final(result.Data());
    result.CheckCanaries();
    FUZZ_CHECK(Bytes(result.Data(), result.Data() + 4) ==
                   Expected(key, withIv ? &iv : nullptr, message),
               "the MAC is wrong");
    FUZZ_CHECK(mac.Update(message.data(), 1) == 0, "Update accepted after Final");
    return 0;
}
