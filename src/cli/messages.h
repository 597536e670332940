// Printing the message table and the manual to the console.
#pragma once

#include "resources/string_table.h"

namespace keymend {

// Prints a message followed by one line feed; the wrong-command-line message (123) is followed
// by two, which leaves an empty line after it.
void PrintMessage(Language language, int id);

// Prints the manual: heading, -help, -p12tokv, -p12addtokv, -kvrepair, -kvpublic, the notice
// on key parameters and the password sources, each exactly as stored.
void PrintHelp(Language language);

}  // namespace keymend
