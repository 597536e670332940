// The tool's message and manual texts, in English and Russian, compiled in as UTF-8.
#pragma once

#include <string_view>

namespace keymend {

enum class Language { kEnglish, kRussian };

// Message ids. The single-line messages are printed with one line feed after them.
constexpr int kMsgPkcs12FileOpenFailed = 102;   // the -infile file cannot be opened
constexpr int kMsgPkcs12ReadFailed = 103;       // the PKCS#12 reader refuses the file
constexpr int kMsgContainerCreateFailed = 104;  // writing the container fails
constexpr int kMsgContainerOpenFailed = 105;    // the existing container cannot be opened
constexpr int kMsgPkcs12PrimaryFailed = 106;    // unused by every command
constexpr int kMsgPkcs12SecondaryFailed = 107;  // unused by every command
constexpr int kMsgContainerFull = 108;          // the container already holds two keys
constexpr int kMsgKeyTypeDiffers = 109;         // the added key's algorithm family differs
constexpr int kMsgKeyPurposeTaken = 110;        // a key of the same purpose is already there
constexpr int kMsgRepairFailed = 111;           // repair fails
constexpr int kMsgUnsupportedCommand = 112;     // none of the four operations
constexpr int kMsgSuccess = 113;                // closing message after success
constexpr int kMsgFailure = 114;                // closing message after any failure
constexpr int kMsgPublicKeyFailed = 121;        // public key export fails
constexpr int kMsgWrongCommandLine = 123;       // two lines, printed with an empty line after
constexpr int kMsgContainerBusy = 125;          // another command holds the container
// The repair cannot verify a key without certificate; printed after 111, naming the option.
constexpr int kMsgRepairNeedsSignatureCertificate = 126;
constexpr int kMsgRepairNeedsExchangeCertificate = 129;
// Warnings on standard error; "%1", "%2", ... stand for the parameters named.
constexpr int kMsgRepairParametersAssumed = 127;  // %1 curve, %2 digest parameter set
constexpr int kMsgPublicKeyAssumed = 128;         // %1 file, %2 provider type, %3 curve
constexpr int kMsgPkcs12TooMuchWork = 130;      // the PKCS#12 file asks for too much work
constexpr int kMsgPkcs12Unsupported = 160;      // %1: the OID of an unsupported algorithm
// -kvtop12 failures; %1 names the file or folder where the comment says so.
constexpr int kMsgExportHeaderDamaged = 141;        // the header does not open: -kvrepair first
constexpr int kMsgSignatureKeyNotExportable = 142;  // how the owner allows export: -exportablesg
constexpr int kMsgExchangeKeyNotExportable = 143;   // -exportableex
constexpr int kMsgExportFileExists = 144;           // %1 the output file
constexpr int kMsgExportFolderUnwritable = 145;     // %1 the output folder
constexpr int kMsgExportCertificateUnreadable = 146;  // %1 the certificate file
constexpr int kMsgExportCertificateMismatch = 147;    // %1 the certificate file
constexpr int kMsgExportFailed = 148;

// The -kvcheck report. Texts marked "choice" hold one alternative per line, picked by index
// (MessageChoice); "%1", "%2", ... stand for the parameters named.
constexpr int kMsgCheckContainer = 170;    // %1 folder, %2 container name
constexpr int kMsgCheckFileState = 171;    // choice by file state; %1 byte offset or size
constexpr int kMsgCheckHeader = 172;       // %1 MAC, %2 password (kMsgCheckValue), %3 flags
constexpr int kMsgCheckMasks = 173;        // %1 mask check value (kMsgCheckValue)
constexpr int kMsgCheckValue = 174;        // choice: correct, wrong, absent
constexpr int kMsgCheckKey = 175;          // %1 number, %2 purpose, %3 algorithm, %4 its OID,
                                           // %5 curve, %6 digest, %7 encryption, %8 flags
constexpr int kMsgCheckPurpose = 176;      // choice: signature, key exchange
constexpr int kMsgCheckKeyFlags = 177;     // choice: exportable, key agreement allowed
constexpr int kMsgCheckAlgorithm = 178;    // %1 year of the standard, %2 key bits
constexpr int kMsgCheckCopy = 179;         // choice by copy state; %1 copy number
constexpr int kMsgCheckCopiesAgree = 180;  // choice: the same key, different keys
constexpr int kMsgCheckCertificate = 181;  // %1 where, %2 subject, %3 serial, %4 %5 validity,
                                           // %6 what it holds (kMsgCheckCertificateWords)
constexpr int kMsgCheckCertificateWords = 182;  // choice: in header, holds, does not hold,
                                                // holds no key, unreadable, unknown
constexpr int kMsgCheckKeyUndescribed = 183;    // %1 number
constexpr int kMsgCheckPublicKeys = 184;        // choice: recoverable, not recoverable
constexpr int kMsgCheckHealthy = 185;
constexpr int kMsgCheckRepairable = 186;        // %1 the -kvrepair command line
constexpr int kMsgCheckCertificateOfKey = 187;  // %1 key number
constexpr int kMsgCheckNeedsCertificate = 188;
constexpr int kMsgCheckNeedsExchangeCertificate = 189;
constexpr int kMsgCheckNeedsSignatureCertificate = 190;
constexpr int kMsgCheckCertificateUnusable = 191;
constexpr int kMsgCheckNoCopyDecrypts = 192;
constexpr int kMsgCheckWrongPassword = 193;
constexpr int kMsgCheckNotContainer = 194;
constexpr int kMsgCheckPendingRewrite = 195;
constexpr int kMsgCheckFileBlocked = 197;
constexpr int kMsgCheckRepairSource = 198;  // %1 the copy -kvrepair takes as its source

// Manual entries, printed as stored (they carry their own line feeds).
constexpr int kMsgHelpImportNew = 115;  // -p12tokv
constexpr int kMsgHelpExportP12 = 116;  // -kvtop12 with an option never offered; unused
constexpr int kMsgHelpImportAdd = 117;  // -p12addtokv
constexpr int kMsgHelpRepair = 118;     // -kvrepair
constexpr int kMsgHelpHeading = 119;    // "Usage: "
constexpr int kMsgHelpPublic = 120;     // -kvpublic
constexpr int kMsgHelpNotice = 122;     // how key parameters are chosen
constexpr int kMsgHelpHelp = 124;       // -help
constexpr int kMsgHelpSources = 131;    // -passkvin, -passp12in and their sources
constexpr int kMsgHelpVersion = 200;    // -version
constexpr int kMsgHelpKeyExport = 140;  // -kvtop12 as offered (116 is the older text)
constexpr int kMsgHelpCheck = 196;      // -kvcheck

// The UTF-8 text of a message id in the given language; an empty view for an unknown id.
std::string_view MessageText(int id, Language language);
// Line `index` (from 0) of a choice text; an empty view past its last line. Inline, because on
// Windows MessageText reads the executable's resources and this module has no source.
inline std::string_view MessageChoice(int id, int index, Language language) {
    std::string_view text = MessageText(id, language);
    for (; index > 0 && !text.empty(); --index) {
        const size_t end = text.find('\n');
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return text.substr(0, text.find('\n'));
}

}  // namespace keymend
