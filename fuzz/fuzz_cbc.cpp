// The CBC filters over DES and both triple DES, fed in pieces the input
// chooses: any plaintext encrypts to whole blocks, one more than it filled,
// and decrypts back; any ciphertext that decryption judges well padded is
// what its output encrypts to, and none that is not whole blocks is.
#include "FuzzCheck.h"
#include "softenc.h"

#include <memory>

template <class Filter>
static Bytes Run(FuzzedDataProvider& in, Filter&& filter, const Bytes& data, int& result) {
    for (size_t at = 0, piece; at < data.size(); at += piece) {
        piece = in.ConsumeIntegralInRange<size_t>(in.remaining_bytes() ? 0 : data.size() - at,
                                                  data.size() - at);
        const Bytes run(data.begin() + at, data.begin() + at + piece);
        piece == 1 && in.ConsumeBool() ? filter.Update(run[0]) : filter.Update(run.data(), piece);
    }
    result = filter.Final();
    return Bytes(filter.output.Data(), filter.output.Data() + filter.output.Size());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Bytes key = in.ConsumeBytes<unsigned char>(24), iv = in.ConsumeBytes<unsigned char>(8);
    key.resize(24);
    const int kind = in.ConsumeIntegralInRange(0, 2); // DES, two- or three-key triple DES
    std::unique_ptr<CBlockCipher> enc(
        kind == 0   ? static_cast<CBlockCipher*>(new CDESEncryptor(key.data()))
        : kind == 1 ? static_cast<CBlockCipher*>(new CTDES2Encryptor(key.data()))
                    : new CTDES3Encryptor(key.data()));
    std::unique_ptr<CBlockCipher> dec(
        kind == 0   ? static_cast<CBlockCipher*>(new CDESDecryptor(key.data()))
        : kind == 1 ? static_cast<CBlockCipher*>(new CTDES2Decryptor(key.data()))
                    : new CTDES3Decryptor(key.data()));
    const unsigned char* ivp = iv.size() == 8 ? iv.data() : nullptr; // null: zeros
    const Bytes text = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange(0, 600));
    int encrypted = 0, decrypted = 0, again = 0;
    const Bytes cipher = Run(in, CCBCEncryptFilter(enc.get(), ivp), text, encrypted);
    FUZZ_CHECK(encrypted == 1 && cipher.size() == 8 * (text.size() / 8 + 1), "not whole blocks");
    FUZZ_CHECK(Run(in, CCBCDecryptFilter(dec.get(), ivp), cipher, decrypted) == text &&
                   decrypted == 1,
               "the plaintext did not come back");
    const Bytes plain = Run(in, CCBCDecryptFilter(dec.get(), ivp), text, decrypted);
    FUZZ_CHECK(decrypted == 0 || (text.size() % 8 == 0 && !text.empty() &&
                                  Run(in, CCBCEncryptFilter(enc.get(), ivp), plain, again) == text),
               "well-padded ciphertext is not what its plaintext encrypts to");
    return 0;
}
