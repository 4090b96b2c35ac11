// The simulated card and SAM: entry points and the fixed keys that programs
// need to compute the results the simulated devices give.
//
// Reader names (CZUReader::Open after ZUSimRegister):
//   "sim"       the general card          "simsam"    the SAM
//   "simsb"     the social-security card  "simsbsam"  the social-security SAM
// Options follow a colon, separated by commas, and apply to the connection
// that names them:
//   t0          T=0 answering: a command with data that has an answer gets
//               61 XX (the data then comes with GET RESPONSE), and a command
//               whose Le does not fit its answer gets 6C XX (send it again
//               with Le = XX). Opening with ZU_PROTOCOL_T0 does the same.
//   remove=N    the card leaves the reader after N commands: every later
//               exchange fails, IsCardExist reports no card, Reset fails.
//   refuse=N    the Nth command is not carried out and gets 6F 00.
// Commands are counted as the card receives them, GET RESPONSE and re-sent
// commands included. Example: "sim:t0,remove=12".
//
// In process, each base name has one device per process that every
// connection reaches, so that reopening the reader sees the files created
// before; opening powers the card on (selection, challenge and security state
// start afresh). ZUSimResetAll forgets them: the next connection meets a
// blank card. ChangeSlot(0) moves a connection to the family's card, 1 to its
// SAM ("sim"/"simsam", "simsb"/"simsbsam").
//
// The SAM's commands (both SAMs):
//   80 1A P1 P2 [factors]   prepare SAM key P1 for the next 80 FA; P2 the
//                           key kind it must have (00 any, see
//                           ZUSimAttributes.h); with data (8-byte factors)
//                           the key prepared is the key diversified along
//                           them (softenc's DiversifyKeyChain)
//   80 FA P1 00 data        with the prepared key, which it uses up: P1 00
//                           encrypts, 01 decrypts the data (a multiple of 8
//                           bytes) in ECB, triple DES for a 16-byte key
//   80 FC P1 00 factor[8] challenge[8]
//                           the cryptogram with which a card whose key is
//                           DiversifyKey(SAM key P1, factor) accepts EXTERNAL
//                           AUTHENTICATE for that challenge: the challenge
//                           encrypted under the diversified key (8 bytes)
//   80 F6 P1 P2 [factors]   (social-security SAM) exports key P1, diversified
//                           along the factors if given, wrapped with SAM key
//                           P2: its length byte, the key and 80 00 ...
//                           padding to a multiple of 8, encrypted with two-key
//                           triple DES under key P2, which must be a key of
//                           usage key loading (69 85 otherwise)
// A key of usage key loading (the transport key 02) serves for nothing but
// export: 80 1A and 80 FC refuse it with 69 85. The SAMs' keys are written
// only under secure messaging, the keys held from the start are never
// replaced, and no key of usage key loading is written (ZUSimAttributes.h).
// So CZUSAMIC::Diversify(P1, 00, factor) on the SAM gives
// DiversifyKey(key P1, factor).
//
// Authentication: INTERNAL AUTHENTICATE 00 88 00 n answers the 8 data bytes
// encrypted under key n; EXTERNAL AUTHENTICATE 00 82 00 n accepts the last
// challenge (its bytes, zero-filled to 8) encrypted under key n. Each key
// serves one of the two (its usage, ZUSimAttributes.h): a key that answers
// INTERNAL AUTHENTICATE is refused by EXTERNAL AUTHENTICATE with 69 85. The
// social-security card and SAM take data of any length: INTERNAL
// AUTHENTICATE answers the last block of the CBC encryption (zero initial
// value) of the data zero-filled to a multiple of 8, and EXTERNAL
// AUTHENTICATE takes free terminal data followed by 8 bytes that must be
// that value for the challenge followed by the terminal data.
#ifndef ZU_SIM_H
#define ZU_SIM_H

#include "sim/CZUSimDevice.h"

#include <memory>

// Registers the in-process readers whose names begin with "sim". Idempotent.
void ZUSimRegister();

// A fresh device for a reader name with its options ("t0" and "refuse=N";
// "remove=N" needs a reader that can take the card away, so such a name gives
// null), null for an unknown name.
std::unique_ptr<CZUSimDevice> ZUSimCreate(const char* name);

// Forgets the persistent in-process devices: later connections start from
// blank cards. Connections already open keep the device they had.
void ZUSimResetAll();

// Protects WRITE KEY under secure messaging (84 D4) on every simulated
// device: the key block is encrypted and the MAC computed under it
// (WriteSAMKeyWithSoftwareCalc with this key).
inline constexpr unsigned char ZUSIM_KEY_LOADING_KEY[16] = {
    0x4B, 0x4C, 0x4F, 0x41, 0x44, 0x49, 0x4E, 0x47, 0x2D, 0x5A, 0x55, 0x53, 0x49, 0x4D, 0x31, 0x36};

// The keys a SAM holds from the start (two-key triple DES unless said).
enum : unsigned char {
    ZUSIM_SAM_MASTER_KEY_NUMBER = 0x01,
    ZUSIM_SAM_TRANSPORT_KEY_NUMBER = 0x02,
    ZUSIM_SAM_DES_KEY_NUMBER = 0x03,
};
// Key 01: the issuer's master key, for diversification.
inline constexpr unsigned char ZUSIM_SAM_MASTER_KEY[16] = {
    0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
// Key 02: wraps exported keys (usage key loading).
inline constexpr unsigned char ZUSIM_SAM_TRANSPORT_KEY[16] = {
    0x54, 0x52, 0x41, 0x4E, 0x53, 0x50, 0x4F, 0x52, 0x54, 0x2D, 0x4B, 0x45, 0x59, 0x2D, 0x30, 0x32};
// Key 03: a single-DES key.
inline constexpr unsigned char ZUSIM_SAM_DES_KEY[8] = {0x13, 0x34, 0x57, 0x79,
                                                       0x9B, 0xBC, 0xDF, 0xF1};

#endif
