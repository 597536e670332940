// The command-line parser: fills Settings from the argument vector and decides whether the line
// is acceptable.
#pragma once

#include "cli/settings.h"

namespace keymend {

// Walks argv[1..argc-1] once. Returns false when the line is wrong (an unknown word, a second
// command word, a path option given twice, an unconvertible password, an over-long OID, a bad
// -provtype value, or a command without the options it needs); the record is then not to be
// used. Passwords are converted from the locale's codeset (see platform/text.h). The path and
// name fields point into argv, which must outlive the record.
bool ParseCommandLine(Settings& settings, int argc, char** argv);

// The command words, as stored in Settings::command (compare with std::strcmp).
constexpr const char kCommandImportNew[] = "-p12tokv";
constexpr const char kCommandImportAdd[] = "-p12addtokv";
constexpr const char kCommandRepair[] = "-kvrepair";
constexpr const char kCommandPublicExport[] = "-kvpublic";
constexpr const char kCommandHelp[] = "-help";

}  // namespace keymend
