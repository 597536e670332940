// The command-line parser: fills Settings from the argument vector and decides whether the line
// is acceptable.
#pragma once

#include "settings/settings.h"

namespace keymend {

// Walks argv[1..argc-1] once. Returns false when the line is wrong (an unknown word, a second
// command word, a path option given twice, an unconvertible password, a password option standing
// last without its value, a password given both as a value and from a source or from two
// sources, a source that is malformed or cannot be read, an over-long OID, a bad -provtype value,
// or a command without the options it needs); the record is then not to be used. Passwords are
// converted from the locale's codeset (see platform/text.h), the text of a source exactly as the
// same text given as the option's value. Before any source is read that may wait (a file,
// descriptor or standard input), the passwords given as values and as "pass:" texts are
// overwritten with zeros in argv itself, so that the process's command line no longer shows them;
// that happens on a refused line too. The path and name fields point into argv, which must
// outlive the record.
bool ParseCommandLine(Settings& settings, int argc, char** argv);

// The command words, as stored in Settings::command (compare with std::strcmp).
constexpr const char kCommandImportNew[] = "-p12tokv";
constexpr const char kCommandImportAdd[] = "-p12addtokv";
constexpr const char kCommandRepair[] = "-kvrepair";
constexpr const char kCommandPublicExport[] = "-kvpublic";
constexpr const char kCommandKeyExport[] = "-kvtop12";
constexpr const char kCommandCheck[] = "-kvcheck";
constexpr const char kCommandHelp[] = "-help";
constexpr const char kCommandVersion[] = "-version";

}  // namespace keymend
