// CMD5 and CSHA1: the published vectors, random messages fed in random
// pieces against OpenSSL, the block boundaries, state cloning, and the two
// SHA-1 compressions against each other.
#include "sha1.h"
#include "softenc.h"
#include "support/Hex.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct HashVector {
    std::string algorithm;
    unsigned long repeat;
    std::string message;
    std::string digest;
};

std::vector<HashVector> LoadHashVectors() {
    std::ifstream in(std::string(ZUIC_VECTORS_DIR) + "/hash.txt");
    std::vector<HashVector> vectors;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        HashVector v;
        std::istringstream fields(line);
        fields >> v.algorithm >> v.repeat;
        const size_t open = line.find('"');
        const size_t close = line.rfind('"');
        v.message = line.substr(open + 1, close - open - 1);
        std::istringstream rest(line.substr(close + 1));
        rest >> v.digest;
        vectors.push_back(v);
    }
    return vectors;
}

template <class Hash> std::string Digest(Hash& hash) {
    unsigned char digest[20] = {};
    hash.Final(digest);
    return ToHex(digest, hash.DigestSize());
}

template <class Hash> std::string DigestOf(const Bytes& message) {
    Hash hash;
    hash.Update(message.data(), static_cast<unsigned int>(message.size()));
    return Digest(hash);
}

std::string OpenSSLDigest(const EVP_MD* md, const Bytes& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(1, EVP_Digest(message.data(), message.size(), digest, &length, md, nullptr));
    return ToHex(digest, length);
}

Bytes RandomBytes(std::mt19937& gen, size_t size) {
    Bytes bytes(size);
    for (auto& b : bytes) {
        b = static_cast<unsigned char>(gen());
    }
    return bytes;
}

// Feeds message in pieces whose sizes cycle through pieces.
template <class Hash>
std::string DigestInPieces(const Bytes& message, const std::vector<size_t>& pieces) {
    Hash hash;
    size_t at = 0;
    for (size_t i = 0; at < message.size(); ++i) {
        const size_t n = std::min(pieces[i % pieces.size()], message.size() - at);
        hash.Update(message.data() + at, static_cast<unsigned int>(n));
        at += n;
    }
    return Digest(hash);
}

std::string ToUpper(std::string s) {
    for (auto& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string Compact(const std::string& hex) {
    std::string out;
    for (char c : hex) {
        if (c != ' ') {
            out += c;
        }
    }
    return out;
}

} // namespace

TEST(Hash, PublishedVectors) {
    const std::vector<HashVector> vectors = LoadHashVectors();
    ASSERT_GE(vectors.size(), 12u);
    for (const HashVector& v : vectors) {
        SCOPED_TRACE(v.algorithm + " x" + std::to_string(v.repeat) + " \"" + v.message + "\"");
        CMD5 md5;
        CSHA1 sha1;
        CHash& hash = v.algorithm == "md5" ? static_cast<CHash&>(md5) : static_cast<CHash&>(sha1);
        for (unsigned long i = 0; i < v.repeat; ++i) {
            hash.Update(reinterpret_cast<const unsigned char*>(v.message.data()),
                        static_cast<unsigned int>(v.message.size()));
        }
        unsigned char digest[20] = {};
        hash.Final(digest);
        EXPECT_EQ(ToUpper(v.digest), Compact(ToHex(digest, hash.DigestSize())));
    }
}

TEST(Hash, EmptyMessageTwiceAndCalculateDigestKeepsEarlierBytes) {
    CMD5 md5;
    CSHA1 sha1;
    EXPECT_EQ("D41D8CD98F00B204E9800998ECF8427E", Compact(Digest(md5)));
    EXPECT_EQ("D41D8CD98F00B204E9800998ECF8427E", Compact(Digest(md5)));
    EXPECT_EQ("DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", Compact(Digest(sha1)));
    EXPECT_EQ("DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", Compact(Digest(sha1)));

    // "a" fed first, then CalculateDigest over "bc": the digest of "abc".
    const unsigned char a = 'a';
    const unsigned char bc[] = {'b', 'c'};
    unsigned char digest[20];
    md5.Update(&a, 1);
    md5.CalculateDigest(digest, bc, 2);
    EXPECT_EQ("900150983CD24FB0D6963F7D28E17F72", Compact(ToHex(digest, 16)));
    sha1.Update(&a, 1);
    sha1.CalculateDigest(digest, bc, 2);
    EXPECT_EQ("A9993E364706816ABA3E25717850C26C9CD0D89D", Compact(ToHex(digest, 20)));
    // The object starts over after CalculateDigest.
    EXPECT_EQ("DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", Compact(Digest(sha1)));
}

TEST(Hash, BoundaryLengthsAndPiecesAgreeWithOpenSSL) {
    std::mt19937 gen(1321);
    const std::vector<std::vector<size_t>> pieceSets = {
        {0, 1}, {1}, {55}, {56}, {63}, {64}, {65}, {0, 1, 55, 56, 63, 64, 65}, {100000}};
    for (size_t length : {0, 1, 54, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4097}) {
        const Bytes message = RandomBytes(gen, length);
        const std::string md5 = OpenSSLDigest(EVP_md5(), message);
        const std::string sha1 = OpenSSLDigest(EVP_sha1(), message);
        for (const auto& pieces : pieceSets) {
            SCOPED_TRACE("length " + std::to_string(length) + " first piece " +
                         std::to_string(pieces[0]));
            EXPECT_EQ(md5, DigestInPieces<CMD5>(message, pieces));
            EXPECT_EQ(sha1, DigestInPieces<CSHA1>(message, pieces));
        }
    }
}

TEST(Hash, RandomMessagesInRandomPiecesAgreeWithOpenSSL) {
    std::mt19937 gen(20050101);
    for (int round = 0; round < 200; ++round) {
        const Bytes message = RandomBytes(gen, gen() % 3000);
        CMD5 md5;
        CSHA1 sha1;
        size_t at = 0;
        while (at < message.size()) {
            const size_t n = std::min<size_t>(gen() % 150, message.size() - at);
            md5.Update(message.data() + at, static_cast<unsigned int>(n));
            sha1.Update(message.data() + at, static_cast<unsigned int>(n));
            at += n;
        }
        SCOPED_TRACE("length " + std::to_string(message.size()));
        EXPECT_EQ(OpenSSLDigest(EVP_md5(), message), Digest(md5));
        EXPECT_EQ(OpenSSLDigest(EVP_sha1(), message), Digest(sha1));
    }
}

TEST(Hash, StateBlockLayout) {
    // Fed 70 bytes: one block compressed, 6 bytes waiting.
    const Bytes message(70, 0x61);
    CMD5 md5;
    md5.Update(message.data(), 70);
    const MD5State* m = static_cast<const MD5State*>(md5.GetState());
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(70u * 8, m->bitCount[0]);
    EXPECT_EQ(0u, m->bitCount[1]);
    EXPECT_EQ(0x61, m->buffer[5]);

    CSHA1 sha1;
    sha1.Update(message.data(), 70);
    const SHA1State* s = static_cast<const SHA1State*>(sha1.GetState());
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(1u, s->blockCount[0]);
    EXPECT_EQ(0u, s->blockCount[1]);
    EXPECT_EQ(6u, s->waiting);

    // Final leaves the initial state: fresh chaining words, counts cleared.
    unsigned char digest[20];
    md5.Final(digest);
    EXPECT_EQ(0x67452301u, m->chain[0]);
    EXPECT_EQ(0x10325476u, m->chain[3]);
    EXPECT_EQ(0u, m->bitCount[0]);
    EXPECT_EQ(0, m->buffer[5]);
    sha1.Final(digest);
    EXPECT_EQ(0xC3D2E1F0u, s->chain[4]);
    EXPECT_EQ(0u, s->blockCount[0]);
    EXPECT_EQ(0u, s->waiting);
}

// The bit count crosses 2^32 (512 MiB) without feeding that much: the
// state is set just below the carry and the digest compared with one
// computed from the same state by straight feeding.
TEST(Hash, Md5BitCountCarriesIntoHighWord) {
    CMD5 md5;
    MD5State* m = static_cast<MD5State*>(md5.GetState());
    ASSERT_NE(nullptr, m);
    m->bitCount[0] = 0xFFFFFE00u; // 64 bytes short of the carry, buffer empty
    const Bytes chunk(100, 0x5A);
    md5.Update(chunk.data(), 100);
    EXPECT_EQ(1u, m->bitCount[1]);
    EXPECT_EQ(0xFFFFFE00u + 800u, m->bitCount[0]);
}

template <class Hash> void CheckCloning(size_t prefixLength) {
    std::mt19937 gen(static_cast<unsigned>(prefixLength));
    const Bytes prefix = RandomBytes(gen, prefixLength);
    const Bytes suffix = RandomBytes(gen, 77);
    Hash first;
    first.Update(prefix.data(), static_cast<unsigned int>(prefix.size()));
    Hash second;
    const Bytes other = RandomBytes(gen, 13);
    second.Update(other.data(), 13); // overwritten by SetState
    second.SetState(first.GetState());
    EXPECT_NE(first.GetState(), second.GetState()) << "SetState copies, never shares";

    // The clone continues from the same point; the original is undisturbed.
    first.Update(suffix.data(), 77);
    second.Update(suffix.data(), 77);
    const std::string a = Digest(first);
    const std::string b = Digest(second);
    EXPECT_EQ(a, b);
    Bytes whole = prefix;
    whole.insert(whole.end(), suffix.begin(), suffix.end());
    EXPECT_EQ(DigestOf<Hash>(whole), a);

    // Null and the object's own block change nothing.
    Hash third;
    third.Update(prefix.data(), static_cast<unsigned int>(prefix.size()));
    third.SetState(nullptr);
    third.SetState(third.GetState());
    EXPECT_EQ(DigestOf<Hash>(prefix), Digest(third));
}

TEST(Hash, GetStateSetStateClones) {
    for (size_t length : {0, 5, 63, 64, 65, 200}) {
        SCOPED_TRACE(length);
        CheckCloning<CMD5>(length);
        CheckCloning<CSHA1>(length);
    }
}

// Restores the automatic choice of compression when a test ends.
struct CompressGuard {
    ~CompressGuard() { SHA1UseCompress(nullptr); }
};

TEST(Sha1Compress, PortableAndInstructionPathsGiveTheSameDigests) {
    CompressGuard guard;
    std::mt19937 gen(1801);
    std::vector<Bytes> messages;
    for (size_t length : {0, 3, 55, 56, 64, 119, 1000, 65536 + 17}) {
        messages.push_back(RandomBytes(gen, length));
    }
    std::vector<SHA1CompressFunction> paths = {SHA1CompressPortable};
#ifdef SOFTENC_SHA1_SHANI
    if (SHA1HaveSHANI()) {
        paths.push_back(SHA1CompressSHANI);
        EXPECT_EQ(SHA1CompressFunction(SHA1CompressSHANI), SHA1CurrentCompress())
            << "the SHA-instruction path is chosen when the CPU has it";
    } else {
        std::cout << "[   INFO   ] no SHA instructions here: portable path only\n";
    }
#endif
    for (SHA1CompressFunction path : paths) {
        SHA1UseCompress(path);
        ASSERT_EQ(path, SHA1CurrentCompress());
        for (const Bytes& message : messages) {
            SCOPED_TRACE(message.size());
            EXPECT_EQ(OpenSSLDigest(EVP_sha1(), message), DigestOf<CSHA1>(message));
            EXPECT_EQ(OpenSSLDigest(EVP_sha1(), message),
                      DigestInPieces<CSHA1>(message, {1, 63, 64, 130}));
        }
    }

    // Multi-block calls straight on the compressions agree block for block.
    const Bytes data = RandomBytes(gen, 64 * 9);
    for (SHA1CompressFunction path : paths) {
        uint32_t whole[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
        uint32_t single[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
        path(whole, data.data(), 9);
        for (size_t i = 0; i < 9; ++i) {
            SHA1CompressPortable(single, data.data() + 64 * i, 1);
        }
        EXPECT_EQ(0, std::memcmp(whole, single, sizeof whole));
    }
}
