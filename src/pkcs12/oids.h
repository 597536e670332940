// The object identifiers the PKCS#12 reader and writer share (RFC 7292, RFC 8018, RFC 2985).
#pragma once

namespace keymend {

inline constexpr const char* kOidData = "1.2.840.113549.1.7.1";            // PKCS#7 data
inline constexpr const char* kOidEncryptedData = "1.2.840.113549.1.7.6";   // PKCS#7 encryptedData
inline constexpr const char* kOidKeyBag = "1.2.840.113549.1.12.10.1.1";
inline constexpr const char* kOidShroudedKeyBag = "1.2.840.113549.1.12.10.1.2";
inline constexpr const char* kOidCertBag = "1.2.840.113549.1.12.10.1.3";
inline constexpr const char* kOidX509Certificate = "1.2.840.113549.1.9.22.1";
inline constexpr const char* kOidFriendlyName = "1.2.840.113549.1.9.20";
inline constexpr const char* kOidLocalKeyId = "1.2.840.113549.1.9.21";
inline constexpr const char* kOidPbes2 = "1.2.840.113549.1.5.13";
inline constexpr const char* kOidPbkdf2 = "1.2.840.113549.1.5.12";
inline constexpr const char* kOidHmacGostR341194 = "1.2.643.2.2.10";      // RFC 4357 section 10.5
inline constexpr const char* kOidHmacStreebog512 = "1.2.643.7.1.1.4.2";   // RFC 7836 section 4.1
inline constexpr const char* kOidStreebog512 = "1.2.643.7.1.1.2.3";       // RFC 7836 section 3
inline constexpr const char* kOidGost28147 = "1.2.643.2.2.21";            // RFC 4357 section 10.3

}  // namespace keymend
