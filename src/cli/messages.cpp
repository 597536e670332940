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

std::string FormatText(std::string_view text, const std::vector<std::string>& parameters) {
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t n = i + 1 < text.size() ? static_cast<size_t>(text[i + 1] - '1') : 9;
        if (text[i] == '%' && n < parameters.size()) {
            line += parameters[n];
            ++i;
        } else {
            line += text[i];
        }
    }
    return line;
}

void PrintMessage(Language language, int id, const std::vector<std::string>& parameters) {
    if (parameters.empty()) return PrintMessage(language, id);
    Write(FormatText(MessageText(id, language), parameters));
    Write("\n");
}

void PrintWarning(Language language, int id, const std::vector<std::string>& parameters) {
    std::string line = FormatText(MessageText(id, language), parameters);
    line += '\n';
    ConsoleWriteError(line.data(), line.size());
}

int FailureMessageId(CommandFailure failure) {
    switch (failure) {
        case CommandFailure::kNone:
        case CommandFailure::kUnspecified:
            return 0;
        case CommandFailure::kPkcs12FileOpenFailed:
            return kMsgPkcs12FileOpenFailed;
        case CommandFailure::kPkcs12Refused:
            return kMsgPkcs12ReadFailed;
        case CommandFailure::kPkcs12TooMuchWork:
            return kMsgPkcs12TooMuchWork;
        case CommandFailure::kPkcs12Unsupported:
            return kMsgPkcs12Unsupported;
        case CommandFailure::kContainerCreateFailed:
            return kMsgContainerCreateFailed;
        case CommandFailure::kContainerOpenFailed:
            return kMsgContainerOpenFailed;
        case CommandFailure::kContainerFull:
            return kMsgContainerFull;
        case CommandFailure::kKeyTypeDiffers:
            return kMsgKeyTypeDiffers;
        case CommandFailure::kKeyPurposeTaken:
            return kMsgKeyPurposeTaken;
        case CommandFailure::kContainerBusy:
            return kMsgContainerBusy;
        case CommandFailure::kRepairFailed:
            return kMsgRepairFailed;
        case CommandFailure::kPublicKeyFailed:
            return kMsgPublicKeyFailed;
        case CommandFailure::kExportHeaderDamaged:
            return kMsgExportHeaderDamaged;
        case CommandFailure::kSignatureKeyNotExportable:
            return kMsgSignatureKeyNotExportable;
        case CommandFailure::kExchangeKeyNotExportable:
            return kMsgExchangeKeyNotExportable;
        case CommandFailure::kOutputExists:
            return kMsgExportFileExists;
        case CommandFailure::kOutputFolderUnwritable:
            return kMsgExportFolderUnwritable;
        case CommandFailure::kCertificateUnreadable:
            return kMsgExportCertificateUnreadable;
        case CommandFailure::kCertificateDoesNotHoldKey:
            return kMsgExportCertificateMismatch;
        case CommandFailure::kExportFailed:
            return kMsgExportFailed;
    }
    return 0;
}

int DetailMessageId(CommandDetail detail) {
    switch (detail) {
        case CommandDetail::kNone:
            return 0;
        case CommandDetail::kNeedsSignatureCertificate:
            return kMsgRepairNeedsSignatureCertificate;
        case CommandDetail::kNeedsExchangeCertificate:
            return kMsgRepairNeedsExchangeCertificate;
    }
    return 0;
}

int WarningMessageId(CommandWarningKind kind) {
    return kind == CommandWarningKind::kPublicKeyAssumed ? kMsgPublicKeyAssumed
                                                         : kMsgRepairParametersAssumed;
}

void PrintHelp(Language language) {
    constexpr int kManual[] = {kMsgHelpHeading,   kMsgHelpHelp,    kMsgHelpImportNew,
                               kMsgHelpImportAdd, kMsgHelpRepair,  kMsgHelpPublic,
                               kMsgHelpNotice,    kMsgHelpSources, kMsgHelpVersion,
                               kMsgHelpKeyExport, kMsgHelpCheck};
    for (int id : kManual) Write(MessageText(id, language));
}

}  // namespace keymend
