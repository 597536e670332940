// Fuzz target for the command-line parser. The input is split at NUL bytes into the arguments
// after the program name (at most 64 of them). Built as a libFuzzer binary with
// KEYMEND_LIBFUZZER; the test suite replays fuzz/corpus/command_line/ through CommandLineFuzzOne.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "settings/settings.h"

namespace keymend::fuzz {

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// A field that points into the argument vector points at the start of one argument.
bool PointsIntoArguments(const char* field, const std::vector<char*>& argv) {
    if (field == nullptr) return true;
    for (size_t i = 1; i < argv.size(); ++i) {
        if (field == argv[i]) return true;
    }
    return false;
}

template <size_t N>
bool Terminated(const char (&text)[N]) {
    return std::memchr(text, '\0', N) != nullptr;
}

bool Terminated16(const char16_t* text, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (text[i] == 0) return true;
    }
    return false;
}

}  // namespace

int CommandLineFuzzOne(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    // Every argument is its own heap block, so a read past one is caught by the sanitizer.
    std::vector<std::vector<char>> storage;
    storage.push_back({'k', 'e', 'y', 'm', 'e', 'n', 'd', '\0'});
    size_t start = 0;
    for (size_t i = 0; i <= size && storage.size() < 65; ++i) {
        if (i == size || data[i] == 0) {
            storage.emplace_back(data + start, data + i);
            storage.back().push_back('\0');
            start = i + 1;
        }
    }
    // Password sources that read files, descriptors or standard input could block or read
    // anything: such inputs are skipped ("pass:" and "env:" sources are read).
    for (const auto& arg : storage) {
        const std::string word(arg.data());
        if (word == "stdin" || word.rfind("fd:", 0) == 0 || word.rfind("file:", 0) == 0) return 0;
    }
    std::vector<char*> argv;
    for (auto& arg : storage) argv.push_back(arg.data());
    std::vector<char*> original = argv;
    argv.push_back(nullptr);

    Settings settings;
    const bool accepted = ParseCommandLine(settings, static_cast<int>(original.size()), argv.data());
    // The parser never rewrites the vector.
    Check(original == std::vector<char*>(argv.begin(), argv.end() - 1));
    Check(Terminated(settings.p12Password) && Terminated(settings.primaryOid) &&
          Terminated(settings.secondaryOid));
    Check(Terminated16(settings.containerPassword, 256));
    for (const char* field : {settings.command, settings.contFolder, settings.rdrFolder,
                              settings.inFile, settings.contName, settings.certEx,
                              settings.certSg, settings.outDir}) {
        Check(PointsIntoArguments(field, original));
    }
    if (!accepted) return 0;

    // An accepted line names a command and carries what that command needs.
    Check(settings.command != nullptr);
    const std::string command = settings.command;
    Check(settings.useKeyMeshing <= 1 && settings.noMacVerify <= 1 && settings.extendHeader <= 1);
    Check(settings.provType == 0 || settings.provType == kProvTypeGost2001 ||
          settings.provType == kProvTypeGost2012_256 ||
          settings.provType == kProvTypeGost2012_512);
    if (command == kCommandImportNew) {
        Check(settings.keySpec != kKeySpecNone && settings.inFile && settings.contName &&
              settings.rdrFolder);
    } else if (command == kCommandImportAdd) {
        Check(settings.keySpec != kKeySpecNone && settings.inFile && settings.contFolder);
    } else if (command == kCommandRepair) {
        Check(settings.contFolder && (settings.certEx || settings.certSg));
    } else if (command == kCommandPublicExport || command == kCommandKeyExport ||
               command == kCommandCheck) {
        Check(settings.contFolder != nullptr);
    } else {
        Check(command == kCommandHelp || command == kCommandVersion);
    }
    return 0;
}

}  // namespace keymend::fuzz

#ifdef KEYMEND_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return keymend::fuzz::CommandLineFuzzOne(data, size);
}
#endif
