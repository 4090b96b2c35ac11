// CMD5 and CSHA1 fed a message in random pieces give the one-shot digest of
// the whole; a running state copied through GetState and SetState into a
// second object finishes to the same digest; Final starts the object over
// (a second Final gives the empty message's digest). Digests are written
// between canaries in exactly DigestSize bytes; pieces lie in heap blocks
// of exactly their length.
#include "CanaryBuffer.h"
#include "common/Bytes.h"
#include "FuzzCheck.h"
#include "softenc.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

void Feed(CHash& hash, const unsigned char* data, size_t length) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[length]);
    if (length != 0) {
        std::memcpy(exact.get(), data, length);
    }
    hash.Update(exact.get(), static_cast<unsigned int>(length));
}

Bytes Finish(CHash& hash) {
    CCanaryBuffer digest(hash.DigestSize());
    hash.Final(digest.Data());
    digest.CheckCanaries();
    FUZZ_CHECK(!digest.Untouched(0, digest.Size()) || digest.Size() == 0, "no digest written");
    return Bytes(digest.Data(), digest.Data() + digest.Size());
}

template <class Hash> void Check(FuzzedDataProvider& in, size_t stateSize) {
    const Bytes message =
        in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<size_t>(0, 2000));

    Hash whole;
    CCanaryBuffer expected(whole.DigestSize());
    std::unique_ptr<unsigned char[]> exact(new unsigned char[message.size()]);
    if (!message.empty()) {
        std::memcpy(exact.get(), message.data(), message.size());
    }
    whole.CalculateDigest(expected.Data(), exact.get(), static_cast<unsigned int>(message.size()));
    expected.CheckCanaries();
    const Bytes digest(expected.Data(), expected.Data() + expected.Size());

    Hash pieces;
    Hash clone;
    const size_t cloneAt = in.ConsumeIntegralInRange<size_t>(0, message.size());
    bool cloned = false;
    size_t at = 0;
    while (at < message.size() || !cloned) {
        if (!cloned && at >= cloneAt) {
            clone.SetState(pieces.GetState());
            clone.SetState(nullptr);          // changes nothing
            clone.SetState(clone.GetState()); // changes nothing
            FUZZ_CHECK(std::memcmp(clone.GetState(), pieces.GetState(), stateSize) == 0,
                       "SetState did not copy the state");
            cloned = true;
        }
        if (at == message.size()) {
            break;
        }
        size_t piece = in.ConsumeIntegralInRange<size_t>(0, message.size() - at);
        if (in.remaining_bytes() == 0) {
            piece = message.size() - at;
        }
        if (piece > cloneAt - at && at < cloneAt) {
            piece = cloneAt - at; // stop where the state is copied
        }
        Feed(pieces, message.data() + at, piece);
        if (cloned) {
            Feed(clone, message.data() + at, piece);
        }
        at += piece;
    }
    FUZZ_CHECK(Finish(pieces) == digest, "pieces give another digest than the whole");
    FUZZ_CHECK(Finish(clone) == digest, "a copied state gives another digest");

    Hash empty;
    const Bytes emptyDigest = Finish(empty);
    FUZZ_CHECK(Finish(pieces) == emptyDigest, "Final did not start the object over");
    FUZZ_CHECK(Finish(whole) == emptyDigest, "CalculateDigest did not start the object over");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        Check<CMD5>(in, sizeof(MD5State));
    } else {
        Check<CSHA1>(in, sizeof(SHA1State));
    }
    return 0;
}
