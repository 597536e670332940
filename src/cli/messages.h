// Printing the message table and the manual to the console.
#pragma once

#include <string>
#include <vector>

#include "commands/commands.h"
#include "resources/string_table.h"

namespace keymend {

// Prints a message followed by one line feed; the wrong-command-line message (123) is followed
// by two, which leaves an empty line after it.
void PrintMessage(Language language, int id);
// The same with "%1", "%2", ... replaced by the parameters in order.
void PrintMessage(Language language, int id, const std::vector<std::string>& parameters);

// Prints a warning line to standard error: the text of `id` with "%1", "%2", ... replaced by the
// parameters in order.
void PrintWarning(Language language, int id, const std::vector<std::string>& parameters);

// The text of `id` with "%1", "%2", ... replaced by the parameters in order.
std::string FormatText(std::string_view text, const std::vector<std::string>& parameters);

// The message of a command's failure reason, of its detail and of a warning (0: none).
int FailureMessageId(CommandFailure failure);
int DetailMessageId(CommandDetail detail);
int WarningMessageId(CommandWarningKind kind);

// Prints the manual: heading, -help, -p12tokv, -p12addtokv, -kvrepair, -kvpublic, the notice
// on key parameters, the password sources, -version, -kvtop12 and -kvcheck, each as stored.
void PrintHelp(Language language);

}  // namespace keymend
