// CMD5 and CSHA1 over a message in pieces the input chooses give the digest
// of the message in one piece; a state copied through GetState and SetState
// part-way finishes to the same digest; Final starts the object over.
#include "FuzzCheck.h"
#include "softenc.h"

static Bytes Final(CHash& hash) {
    Bytes digest(hash.DigestSize());
    hash.Final(digest.data());
    return digest;
}

template <class Hash> static void Check(FuzzedDataProvider& in) {
    const Bytes message = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange(0, 2000));
    Hash one, pieces, copy;
    Bytes digest(one.DigestSize());
    one.CalculateDigest(digest.data(), message.data(), message.size());
    const size_t copyAt = in.ConsumeIntegralInRange<size_t>(0, message.size());
    for (size_t at = 0, piece = 0; at <= message.size(); at += piece) {
        if (at == copyAt) {
            copy.SetState(pieces.GetState());
        }
        piece = std::min(in.ConsumeIntegralInRange<size_t>(
                             in.remaining_bytes() ? 0 : message.size() - at, message.size() - at),
                         at < copyAt ? copyAt - at : ~size_t{0}); // stop where it is copied
        const Bytes run(message.begin() + at, message.begin() + at + piece);
        pieces.Update(run.data(), piece);
        copy.Update(run.data(), at >= copyAt ? piece : 0);
        piece += at == message.size(); // and leave
    }
    FUZZ_CHECK(Final(pieces) == digest && Final(copy) == digest,
               "pieces or a copy change the digest");
    FUZZ_CHECK(Final(pieces) == Final(one), "Final does not start over");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    in.ConsumeBool() ? Check<CMD5>(in) : Check<CSHA1>(in);
    return 0;
}
