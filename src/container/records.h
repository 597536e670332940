// The DER records of the six files of a key container, their decoders and encoders.
//
// Files and their records:
//   name.key      SEQUENCE { IA5String name }                                -> SecureBlob
//   primary.key   SEQUENCE { OCTET STRING firstKey, [0] IMPLICIT OCTET STRING secondKey OPTIONAL }
//   primary2.key  the same layout (the second, independent copy)           -> KeyFileRecord
//   masks.key     SEQUENCE { OCTET STRING mask, OCTET STRING salt, OCTET STRING maskCheck }
//   masks2.key    the same layout (mask and salt of the second copy)       -> MaskFileRecord
//   header.key    SEQUENCE { HeaderContent, OCTET STRING mac }             -> HeaderRecord
//
// HeaderContent ::= SEQUENCE {
//   formatOid            [0] EXPLICIT OBJECT IDENTIFIER OPTIONAL   -- kContainerFormatOid
//   flags                BIT STRING
//   firstKey             KeyPropertiesSequence
//   passwordCheck        [2] IMPLICIT OCTET STRING OPTIONAL        -- 0x82
//   secondKey            [4] IMPLICIT KeyPropertiesSequence OPTIONAL  -- 0xA4
//   firstCertificate     [5] IMPLICIT OCTET STRING OPTIONAL        -- 0x85
//   secondCertificate    [6] IMPLICIT OCTET STRING OPTIONAL        -- 0x86
//   firstPublicKeyCheck  [10] IMPLICIT OCTET STRING OPTIONAL       -- 0x8A
//   secondPublicKeyCheck [11] IMPLICIT OCTET STRING OPTIONAL }     -- 0x8B
// KeyPropertiesSequence ::= SEQUENCE {
//   flags      BIT STRING
//   algorithm  [0] IMPLICIT SEQUENCE { OBJECT IDENTIFIER, KeyParameters } OPTIONAL }
// KeyParameters ::= SEQUENCE { publicKeyParamSet OID, digestParamSet OID,
//                              encryptionParamSet OID OPTIONAL }
//
// Numbers (masked keys, masks) are stored least significant byte first, in memory and on disk.
// Every byte buffer is a SecureBlob owned by its record and wiped when released; an empty blob
// (size 0) stands for an absent field. OIDs are held as dotted text (OidText), empty when absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "asn1/oid.h"
#include "crypto/context/secure_blob.h"

namespace keymend {

constexpr const char* kContainerFormatOid = "1.2.643.2.2.37.2.1";

constexpr uint32_t kMaskCheckSize = 4;          // mask check value
constexpr uint32_t kPasswordCheckSize = 4;      // password check value
constexpr uint32_t kHeaderMacSize = 4;          // header MAC
constexpr uint32_t kPublicKeyCheckSize = 8;     // first 8 bytes of a public key
constexpr uint32_t kSaltSize = 12;              // salt of a masks file
constexpr uint32_t kExtendedHeaderSize = 3075;  // header.key length with the extended flag

// Header flag bits (first byte of HeaderRecord::flags).
constexpr uint8_t kHeaderFlagBuilt = 0x40;     // set by every builder of this tool
constexpr uint8_t kHeaderFlagPassword = 0x80;  // a password check value is present
// Key flag bits (first byte of KeyProperties::flags).
constexpr uint8_t kKeyFlagExportable = 0x80;
constexpr uint8_t kKeyFlagExchange = 0x20;
constexpr uint8_t kKeyFlagDhAllowed = 0x08;

// primary.key / primary2.key.
//   firstKey / secondKey: the key file fields. On disk and after decoding they hold the key
//     encrypted under the copy's password key (ECB, 32 or 64 bytes). A builder (the PKCS#12
//     reader) places the masked key there in clear; ProtectNewContainer / ProtectSecondKey then
//     encrypt it in place. secondKey is empty when the container has one key.
//   firstKeyDecrypted / secondKeyDecrypted: memory only. Filled by OpenContainerStrict and
//     OpenContainerTolerant with the masked key in clear (k = d * mask mod q); never written.
struct KeyFileRecord {
    SecureBlob firstKey;
    SecureBlob secondKey;
    SecureBlob firstKeyDecrypted;
    SecureBlob secondKeyDecrypted;
};

// masks.key / masks2.key. One mask serves both keys of its copy.
//   mask: 32 bytes (provider types 75, 80) or 64 (81), least significant byte first.
//   salt: 12 random bytes, salt of the copy's password key.
//   maskCheck: 4 bytes, MaskCheckValue (protection.h).
struct MaskFileRecord {
    SecureBlob mask;
    SecureBlob salt;
    SecureBlob maskCheck;
};

// One key's entry of the header.
//   flags: the BIT STRING data bytes without the unused-bits octet (one byte or empty).
//   algorithm: key algorithm OID (key algorithm table, protection.h); empty when absent.
//   publicKeyParamSet / digestParamSet: the curve and digest parameter set OIDs.
//   encryptionParamSet: GOST 28147-89 parameter set OID; empty when the file had two OIDs.
//   certificate: the DER encoding of the key's certificate, or empty (header [5] / [6]).
//   publicKeyCheck: 8 bytes, the first 8 bytes of the public key, or empty ([10] / [11]).
struct KeyProperties {
    SecureBlob flags;
    OidText algorithm;
    OidText publicKeyParamSet;
    OidText digestParamSet;
    OidText encryptionParamSet;
    SecureBlob certificate;
    SecureBlob publicKeyCheck;
};

// header.key.
//   formatOid: filled on reading when present; the encoder always writes kContainerFormatOid.
//   flags: header flags (kHeaderFlag*), BIT STRING data bytes.
//   passwordCheck: 4 bytes or empty.
//   headerMac: 4 bytes; set by the decoder from the file and by EncodeHeaderFile while encoding.
//   rawContent: decoder only: the complete DER encoding of HeaderContent (identifier, length,
//     content) as read, over which the stored MAC is verified. The encoder ignores it.
struct HeaderRecord {
    OidText formatOid;
    SecureBlob flags;
    SecureBlob passwordCheck;
    SecureBlob headerMac;
    KeyProperties firstKey;
    KeyProperties secondKey;
    SecureBlob rawContent;
};

// The six records of a container. Owns every buffer in them; destroying the image wipes all key
// material (each SecureBlob wipes itself). Slots are released in the order header, primary,
// primary2, masks, masks2, name.
//   primary / masks:   the first copy (primary.key with masks.key)
//   primary2 / masks2: the second copy (primary2.key with masks2.key)
//   header:            header.key
//   name:              the container name, bytes without terminator (name.key)
struct ContainerImage {
    SecureBlob name;
    MaskFileRecord masks2;
    MaskFileRecord masks;
    KeyFileRecord primary2;
    KeyFileRecord primary;
    HeaderRecord header;
};

using ContainerImagePtr = std::unique_ptr<ContainerImage>;

// A new image with six empty records, or null when memory runs out.
ContainerImagePtr CreateContainerImage();

// ---- Decoders ---------------------------------------------------------------------------------
// Each takes the whole content of one file. Element counts are strict (see the layouts above);
// bytes after the outer SEQUENCE are ignored. On failure the record may be partly filled; its
// owner releases it. The record should be empty on entry (fields are replaced, not merged).
bool DecodeNameFile(const uint8_t* data, size_t length, SecureBlob& name);
bool DecodeKeyFile(const uint8_t* data, size_t length, KeyFileRecord& record);
bool DecodeMaskFile(const uint8_t* data, size_t length, MaskFileRecord& record);
// Optional fields of HeaderContent are tested once each, in order, by identifier (class, form
// and tag); an element out of order stays unread and is only covered by the MAC.
bool DecodeHeaderFile(const uint8_t* data, size_t length, HeaderRecord& record);

// ---- Encoders ---------------------------------------------------------------------------------
// Each produces the whole content of one file into `out` (replaced; exact size).
bool EncodeNameFile(const uint8_t* name, uint32_t nameLength, SecureBlob& out);
// secondKey is written only when not empty.
bool EncodeKeyFile(const KeyFileRecord& record, SecureBlob& out);
bool EncodeMaskFile(const MaskFileRecord& record, SecureBlob& out);
// Writes HeaderContent (optional fields under their conditions: passwordCheck when set, second
// key properties when its publicKeyCheck is set, certificates when set, [10] always, [11] when
// set), computes the header MAC over the HeaderContent bytes just written, stores it into
// record.headerMac and writes it. With `extended` the output is padded with zero bytes to
// kExtendedHeaderSize unless it is already that long. Fails (out empty) when the MAC parameter
// set cannot be determined (HeaderMacParamSet) or the MAC fails.
bool EncodeHeaderFile(HeaderRecord& record, bool extended, SecureBlob& out);

// The MAC parameter set of a header: "1.2.643.2.2.31.1" when the first key's algorithm belongs
// to provider type 75; otherwise the first key's encryption parameter set (one of the 14 sets)
// or the provider default when it is empty. Null when the set is not one of the 14.
const char* HeaderMacParamSet(const HeaderRecord& record);
// The header MAC: GOST 28147-89 MAC under 32 zero bytes, zero IV, over `content` (the complete
// HeaderContent encoding) with the given parameter set. mac4 receives 4 bytes.
bool HeaderMac(const uint8_t* content, size_t length, const char* paramSet, uint8_t* mac4);

}  // namespace keymend
