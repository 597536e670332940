// GOST 28147-89 block cipher (RFC 5830): the 14 parameter sets, the block function, key objects,
// ECB and CFB with the key meshing of RFC 4357 section 2.3, and the 4-byte MAC.
//
// Byte order. Everything is little-endian, as RFC 5830 lays it out in memory:
//   - key: 32 bytes read as eight 32-bit words K0..K7, each least significant byte first
//     (K0 from key bytes 0..3);
//   - block: N1 from bytes 0..3, N2 from bytes 4..7 (least significant byte first); an
//     encrypted block is written back as N2 then N1;
//   - MAC: the 16-round MAC step leaves N1 then N2 (no final swap); the 4-byte MAC is bytes
//     0..3 of the final running value.
//
// Parameter sets are named by their dotted OID text and numbered 0..13 in a fixed order
// (ParamSetIndex / ParamSetOid). Their expanded lookup tables (4,096 bytes each) are built on
// first use and cached in the crypto context until CryptoContextRelease.
//
// Key meshing. Gost28147Crypt meshes while KeyMeshingSwitch() is non-zero (the -noKVKM option
// turns it off): after every 1,024 bytes handed to one key object the key is replaced by the
// decryption of the RFC 4357 meshing constant under the current key, and in CFB the feedback
// block is then encrypted once under the new key. Data of 1,024 bytes or less is never affected.
// Gost28147Mac never meshes.
//
// All operations need an initialised crypto context (CryptoContextInit). Failures return false
// (or null / -1) and record a status code (kStatusBadData, kStatusNoMemory) in the allocator's
// last-error word; nothing is printed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace keymend {

constexpr size_t kGost28147BlockSize = 8;
constexpr size_t kGost28147KeySize = 32;
constexpr size_t kGost28147MacSize = 4;
constexpr size_t kGost28147PackedSize = 64;           // one packed parameter set
constexpr size_t kGost28147ExpandedWords = 4 * 256;   // T0..T3, 4,096 bytes
constexpr size_t kKeyMeshingSection = 1024;           // bytes between two key meshings
constexpr uint32_t kGost28147AlgorithmId = 0x661E;

// modeSelector values of Gost28147Crypt.
constexpr int kGost28147Ecb = 2;
constexpr int kGost28147Cfb = 4;

// Mode codes of the key-object layer.
constexpr int kModeEcbEncrypt = 100;
constexpr int kModeEcbDecrypt = 101;
constexpr int kModeCfbEncrypt = 104;
constexpr int kModeCfbDecrypt = 105;
constexpr int kModeMacUpdate = 106;

// ---- Parameter sets -------------------------------------------------------------------------

// Index 0..13 of the parameter set whose OID equals `oid` exactly, or -1 (unknown OID, null or
// empty text, or the expanded table cannot be allocated). Builds and caches that set's expanded
// table on first use; a failed allocation is retried on the next call.
int ParamSetIndex(const char* oid);

// OID text of index 0..13, or null for any other index.
const char* ParamSetOid(int index);

// The 64-byte packed table of index 0..13 (row r holds entry r of K1..K8: byte c is
// K(2c+1)[r] << 4 | K(2c+2)[r]; K1 acts on the least significant nibble), or null.
const uint8_t* PackedParamSet(int index);

// Expands a packed table into T0..T3 (1,024 words, T0 first), rotation by 11 folded in:
// T0[x] = rotl11(K1[x & 15] | K2[x >> 4] << 4), T1[x] = rotl11((K3[..] | K4[..] << 4) << 8), ...
// The round function of v is T0[v & 255] ^ T1[v >> 8 & 255] ^ T2[v >> 16 & 255] ^ T3[v >> 24].
// False when either pointer is null.
bool ExpandParamSet(const uint8_t* packed, uint32_t* out);

// The cached expanded table of index 0..13: null until ParamSetIndex has built it.
const uint32_t* ExpandedParamSet(int index);

// ---- Block function -------------------------------------------------------------------------

// Key schedule: the eight 32-bit key words K0..K7.
struct Gost28147KeyRecord {
    uint32_t words[8];
};

// Reads 32 key bytes into K0..K7 (little-endian words).
void Gost28147LoadKey(const uint8_t* key32, Gost28147KeyRecord& record);

// Encrypts / decrypts `blocks` 8-byte blocks from `in` to `out` (equal pointers work in place)
// with an expanded table. ECB: blocks are independent.
void Gost28147EncryptBlocks(const uint32_t* table, const Gost28147KeyRecord& key,
                            const uint8_t* in, uint8_t* out, size_t blocks);
void Gost28147DecryptBlocks(const uint32_t* table, const Gost28147KeyRecord& key,
                            const uint8_t* in, uint8_t* out, size_t blocks);

// The 16-round MAC step on an 8-byte running value, in place (rounds K0..K7 twice; output N1
// then N2).
void Gost28147MacStep(const uint32_t* table, const Gost28147KeyRecord& key, uint8_t* value8);

// ---- Key objects ----------------------------------------------------------------------------

// One key object per operation: the key schedule, the parameter set's table and the running
// state of a mode. Taken from the library allocator and wiped when destroyed. Create it once,
// then feed it data in as many calls as you like: CFB continues the current 8-byte segment
// (a call may end mid-segment; the next call uses the rest of that gamma block), the
// processed-bytes counter continues (so meshing points are counted from the object's first
// byte), and the MAC keeps accumulating. Use one object for one mode. Handle it by pointer only
// (`key` points into the object itself), and destroy it before the crypto context is released
// or set up again (`table` points into the context's cache).
struct Gost28147KeyObject {
    uint32_t algorithmId;     // kGost28147AlgorithmId
    uint32_t blockLength;     // 8
    uint8_t state[16];        // bytes 0..7: CFB feedback block or running MAC value
    uint8_t shiftRegister[8]; // CFB: gamma of the current segment
    uint32_t registerLength;  // 8
    uint32_t segmentLength;   // 8
    uint32_t segmentPosition; // CFB: gamma bytes of the current segment already used (0..7)
    uint64_t processed;       // bytes handed to the object so far (meshing, MAC finalisation)
    Gost28147KeyRecord* key;  // the key words; replaced in place by meshing
    const uint32_t* table;    // expanded table of the parameter set (owned by the cache)
    Gost28147KeyRecord keyStorage;  // the record `key` points at, owned by this object
};

// Creates a key object for 32 key bytes and parameter set index 0..13 (whose table must be in
// the cache, i.e. obtained through ParamSetIndex). iv (8 bytes) goes into state[0..7]; null
// leaves zeros. Null when keyLength is not 32, the index is invalid or memory runs out.
Gost28147KeyObject* Gost28147CreateKey(const uint8_t* key, size_t keyLength, int paramSetIndex,
                                       const uint8_t* iv);
// Wipes and releases the object (key record included). Null is ignored.
void Gost28147DestroyKey(Gost28147KeyObject* object);

struct Gost28147KeyDeleter {
    void operator()(Gost28147KeyObject* object) const { Gost28147DestroyKey(object); }
};
using Gost28147KeyPtr = std::unique_ptr<Gost28147KeyObject, Gost28147KeyDeleter>;

// Runs mode code 100, 101, 104 or 105 over data in place. With keyMeshing the key is meshed
// after every 1,024 bytes counted by the object (a call ending exactly on a boundary meshes
// before returning). ECB lengths must be multiples of 8, on an object that has so far seen whole
// blocks only (else false, data unchanged, status kStatusBadData); CFB takes any length. False
// for any other mode code. A null data pointer is refused unless length is 0.
bool Gost28147Process(Gost28147KeyObject& object, int modeCode, uint8_t* data, size_t length,
                      bool keyMeshing);

// MAC update over data (never meshes), and the finalisation into 4 bytes. Finalisation does not
// change the object. Rules: no data at all gives 00 00 00 00; a multiple of 8 bytes, at least
// 16, gives the running value; otherwise the zero-padded last block is processed, and a message
// of 8 bytes or less is extended by one more all-zero block.
bool Gost28147MacUpdate(Gost28147KeyObject& object, const uint8_t* data, size_t length);
void Gost28147MacFinal(const Gost28147KeyObject& object, uint8_t* mac4);

// Replaces the key words by the RFC 4357 meshing of the current key; in CFB the feedback block
// is then encrypted under the new key. Exposed for tests; Gost28147Process calls it.
void Gost28147MeshKey(Gost28147KeyObject& object, bool cfb);

// ---- One-shot entry points ------------------------------------------------------------------

enum class CipherDirection { kEncrypt, kDecrypt };

// ECB (kGost28147Ecb) or CFB (kGost28147Cfb) encryption or decryption of data in place, under a
// 32-byte key and the parameter set named by OID text. CFB needs an 8-byte iv; ECB ignores iv (may
// be null) and needs a length that is a multiple of 8. Meshes while KeyMeshingSwitch() is non-zero.
// A fresh key object is used, so meshing counts from the first byte of data. False on any failure;
// data is then unchanged unless the failure happened during processing.
bool Gost28147Crypt(uint8_t* data, size_t length, CipherDirection direction, int modeSelector,
                    const uint8_t* key, size_t keyLength, const char* paramSetOid,
                    const uint8_t* iv);

// 4-byte MAC of data under a 32-byte key, the parameter set named by OID text and an 8-byte
// starting value iv (callers pass zeros). False when data, mac4 or iv is null (even for an empty
// message), the key is not 32 bytes or the OID is unknown. Never meshes.
bool Gost28147Mac(const uint8_t* data, size_t length, uint8_t* mac4, const uint8_t* key,
                  size_t keyLength, const char* paramSetOid, const uint8_t* iv);

}  // namespace keymend
