#include "cli/messages.h"

#include "platform/console.h"

namespace keymend {

namespace {

void Write(std::string_view text) {
    ConsoleWrite(text.data(), text.size());
}

}  // namespace

void PrintMessage(Language language, int id) {
    Write(MessageText(id, language));
    Write(id == kMsgWrongCommandLine ? "\n\n" : "\n");
}

void PrintHelp(Language language) {
    constexpr int kManual[] = {kMsgHelpHeading,   kMsgHelpHelp,   kMsgHelpImportNew,
                               kMsgHelpImportAdd, kMsgHelpRepair, kMsgHelpPublic,
                               kMsgHelpNotice,    kMsgHelpSources};
    for (int id : kManual) Write(MessageText(id, language));
}

}  // namespace keymend
