// -kvcheck in the front end: runs the diagnosis and prints its report in the console language.
#pragma once

#include <string>

#include "commands/check.h"
#include "commands/commands.h"
#include "resources/string_table.h"

namespace keymend {

// The report, one line feed after each line.
std::string CheckReportText(const ContainerCheck& check, Language language);

// Prints the report; success only when the container is healthy and the password correct.
CommandResult RunCheck(const Settings& settings);

}  // namespace keymend
