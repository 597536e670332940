#include "cli/dispatch.h"

#include <cstring>

#include "cli/check_report.h"
#include "cli/command_line.h"
#include "cli/messages.h"
#include "cli/version.h"
#include "commands/commands.h"
#include "crypto/context/crypto_context.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/files.h"

namespace keymend {

namespace {

int Run(Settings& settings, Language language, int argc, char** argv) {
    if (!ParseCommandLine(settings, argc, argv)) {
        PrintMessage(language, kMsgWrongCommandLine);
        return kExitWrongCommandLine;
    }
    if (std::strcmp(settings.command, kCommandHelp) == 0) {
        PrintHelp(language);
        return 0;
    }
    if (std::strcmp(settings.command, kCommandVersion) == 0) {
        PrintVersion();
        return 0;
    }

    bool success = false;
    if (CryptoContextInit(settings.useKeyMeshing)) {
        // The command releases what it built (PKCS#12 contents, container image) before it
        // returns, wiping key material on every path.
        const CommandFunction command = FindCommand(settings.command);
        const CommandResult result = command != nullptr ? command(settings) : CommandResult{};
        success = result.ok;
        for (const CommandWarning& warning : result.warnings) {
            PrintWarning(language, WarningMessageId(warning.kind), warning.parameters);
        }
        const int messageId =
            command != nullptr ? FailureMessageId(result.failure) : kMsgUnsupportedCommand;
        const int detailId = DetailMessageId(result.detail);
        if (!success && messageId != 0) PrintMessage(language, messageId, result.failureParameters);
        if (!success && detailId != 0) PrintMessage(language, detailId);
        // Released after a failure too, so that scratch space that held key material is wiped.
        CryptoContextRelease();
    }
    PrintMessage(language, success ? kMsgSuccess : kMsgFailure);
    return success ? 0 : 1;
}

}  // namespace

CommandFunction FindCommand(const char* command) {
    if (std::strcmp(command, kCommandImportNew) == 0) return RunImportNew;
    if (std::strcmp(command, kCommandImportAdd) == 0) return RunImportAdd;
    if (std::strcmp(command, kCommandRepair) == 0) return RunRepair;
    if (std::strcmp(command, kCommandPublicExport) == 0) return RunPublicExport;
    if (std::strcmp(command, kCommandKeyExport) == 0) return RunKeyExport;
    if (std::strcmp(command, kCommandCheck) == 0) return RunCheck;
    return nullptr;
}

int RunMain(int argc, char** argv) {
    // No core file may hold the passwords and keys this process is about to read.
    HardenProcess();
    ConsoleInit();
    FileSystemInit();
    const Language language = UserInterfaceIsRussian() ? Language::kRussian : Language::kEnglish;
    int code;
    {
        Settings settings;  // wipes both passwords when it goes out of scope
        code = Run(settings, language, argc, argv);
    }
    ConsoleFlush();
    return code;
}

}  // namespace keymend
