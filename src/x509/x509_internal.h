// Inside the certificate reader: the decoders its parts share.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "asn1/der.h"
#include "asn1/file_time.h"

namespace keymend {

// Strict base64 (RFC 4648 alphabet, '=' padding, line breaks and blanks allowed). Writes the
// decoded bytes into out (replacing it); false on any other character, misplaced padding or
// non-zero pad bits.
bool Base64Decode(const char* text, size_t length, std::vector<uint8_t>& out);

// The DER of the first PEM block labelled `label` or `otherLabel` (RFC 7468); *second tells
// which one was found. Text around blocks is ignored; a block starts a line.
bool PemBlock(const uint8_t* data, size_t size, const char* label, const char* otherLabel,
              std::vector<uint8_t>& der, bool* second);

// A Name (SEQUENCE content) as an RFC 4514 string: relative distinguished names last first,
// attribute types by their short names (CN, C, L, ST, O, OU, STREET, DC, UID, SN, serialNumber,
// title, givenName, initials) or dotted, string values in UTF-8 with the special characters,
// control characters and NUL escaped, other values as '#' and the hex of their encoding.
bool NameToString(DerBlob name, std::string& out);

// UTCTime (YYMMDDhhmmssZ, years 1950..2049) or GeneralizedTime (YYYYMMDDhhmmssZ) content.
bool CertificateTime(uint8_t identifier, DerBlob content, CalendarTime& out);

}  // namespace keymend
