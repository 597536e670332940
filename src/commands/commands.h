// The operations the front end dispatches to, and what each reports back.
#pragma once

#include <string>
#include <vector>

#include "settings/settings.h"

namespace keymend {

// Why a command failed. The front end turns each reason into its message; kUnspecified has no
// message of its own (only the closing "Failed while executing." is printed).
enum class CommandFailure {
    kNone,
    kUnspecified,
    kPkcs12FileOpenFailed,   // the -infile file cannot be opened or read
    kPkcs12Refused,          // the PKCS#12 reader refuses the file (or it is too large)
    kPkcs12TooMuchWork,      // the file asks for more work than the reader allows
    kPkcs12Unsupported,      // its protection uses an algorithm the reader lacks (%1: its OID)
    kContainerCreateFailed,  // the container cannot be protected or written
    kContainerOpenFailed,    // the existing container does not open
    kContainerFull,          // it already holds two keys
    kKeyTypeDiffers,         // the added key's algorithm family differs from the first key's
    kKeyPurposeTaken,        // a key of the same purpose is already there
    kContainerBusy,          // another command holds the container
    kRepairFailed,
    kPublicKeyFailed,
    // -kvtop12; the failure parameters name what the message needs.
    kExportHeaderDamaged,          // the header does not open: repair first
    kSignatureKeyNotExportable,
    kExchangeKeyNotExportable,
    kOutputExists,                 // %1 the file
    kOutputFolderUnwritable,       // %1 the folder
    kCertificateUnreadable,        // %1 the certificate file
    kCertificateDoesNotHoldKey,    // %1 the certificate file
    kExportFailed,
};

// A second line after a failure: which certificate the repair needs to verify a key.
enum class CommandDetail { kNone, kNeedsSignatureCertificate, kNeedsExchangeCertificate };

// A warning for standard error, and the texts that stand for its %1, %2, ...
enum class CommandWarningKind {
    kRepairParametersAssumed,  // %1 curve, %2 digest parameter set
    kPublicKeyAssumed,         // %1 file, %2 provider type, %3 curve
};
struct CommandWarning {
    CommandWarningKind kind = CommandWarningKind::kRepairParametersAssumed;
    std::vector<std::string> parameters;
};

// Success, or failure with its reason and detail. Warnings go to standard error whatever the
// outcome.
struct CommandResult {
    bool ok = false;
    CommandFailure failure = CommandFailure::kNone;
    CommandDetail detail = CommandDetail::kNone;
    std::vector<CommandWarning> warnings = {};
    std::vector<std::string> failureParameters = {};  // stand for %1, %2, ... of the failure
};

CommandResult RunImportNew(const Settings& settings);     // -p12tokv
CommandResult RunImportAdd(const Settings& settings);     // -p12addtokv
CommandResult RunRepair(const Settings& settings);        // -kvrepair
CommandResult RunPublicExport(const Settings& settings);  // -kvpublic
CommandResult RunKeyExport(const Settings& settings);     // -kvtop12

}  // namespace keymend
