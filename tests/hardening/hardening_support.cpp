#include "hardening/hardening_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "cli/command_line.h"
#include "cli/dispatch.h"
#include "cli/messages.h"
#include "commands/public_export.h"
#include "container/container.h"
#include "container/container_builder.h"
#include "crypto/context/secure_blob.h"

namespace keymend::test {

namespace fs = std::filesystem;

CommandRun RunCommandInProcess(const std::vector<std::string>& args) {
    std::vector<std::string> storage{"keymend"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    Settings settings;
    if (!ParseCommandLine(settings, static_cast<int>(storage.size()), argv.data())) {
        return {false, -1};
    }
    const CommandFunction run = FindCommand(settings.command);
    if (run == nullptr) return {false, -1};
    const CommandResult result = run(settings);
    return {result.ok, FailureMessageId(result.failure), DetailMessageId(result.detail)};
}

FolderSnapshot Snapshot(const std::string& folder) {
    FolderSnapshot files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file()) files[entry.path().filename()] = ReadFileBytes(entry.path());
    }
    return files;
}

void Restore(const std::string& folder, const FolderSnapshot& files) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (files.count(entry.path().filename()) == 0) fs::remove_all(entry.path());
    }
    // Only changed files are rewritten, as new files: truncating a file that was just written
    // makes the file system flush it, which costs milliseconds per file.
    for (const auto& [name, bytes] : files) {
        const std::string path = folder + "/" + name;
        if (fs::is_regular_file(path, error) && fs::file_size(path, error) == bytes.size() &&
            ReadFileBytes(path) == bytes) {
            continue;
        }
        fs::remove(path, error);
        ASSERT_TRUE(WriteFileBytes(path, bytes)) << name;
    }
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

void DamageFolder(const std::string& folder, const std::string& damage) {
    for (const std::string& word : Words(damage)) {
        const std::string name = word.substr(0, word.find_first_of("@/#+"));
        const std::string path = folder + "/" + name;
        Bytes bytes = ReadFileBytes(path);
        ASSERT_TRUE(fs::remove(path)) << word;
        unsigned offset = 0, mask = 1;
        if (word == name + "/") {
            ASSERT_TRUE(fs::create_directory(path));
        } else if (word[name.size() == word.size() ? 0 : name.size()] == '#') {
            ASSERT_TRUE(std::sscanf(word.c_str() + name.size() + 1, "%u", &offset) == 1 &&
                        offset < bytes.size())
                << word;
            bytes.resize(offset);
            ASSERT_TRUE(WriteFileBytes(path, bytes));
        } else if (word[name.size() == word.size() ? 0 : name.size()] == '+') {
            ASSERT_TRUE(std::sscanf(word.c_str() + name.size() + 1, "%x", &mask) == 1) << word;
            bytes.push_back(static_cast<uint8_t>(mask));
            ASSERT_TRUE(WriteFileBytes(path, bytes));
        } else if (word != name) {
            ASSERT_TRUE(std::sscanf(word.c_str() + name.size() + 1, "%u^%x", &offset, &mask) >= 1 &&
                        offset >= 1 && offset <= bytes.size())
                << word;
            bytes[bytes.size() - offset] ^= static_cast<uint8_t>(mask);
            ASSERT_TRUE(WriteFileBytes(path, bytes));  // as a new file, see Restore
        }
    }
}

Bytes PublicFile(const Bytes& publicKey) {
    Bytes out = publicKey;
    out.insert(out.begin(), {0x04, static_cast<uint8_t>(publicKey.size())});
    return out;
}

std::string FailureOutput(const std::vector<int>& messageIds) {
    static const std::map<int, std::string> kTexts = {
        {0, ""},
        {102, "Failed to open PKCS#12 key container.\n"},
        {103, "Failed to open PKCS#12 key container file.\n"},
        {104, "Failed to create Kalvion CSP key container.\n"},
        {105, "Failed to open Kalvion CSP key container.\n"},
        {108, "Kalvion CSP key container is full. Cannot add extra keys.\n"},
        {109, "Unable to add different type key to Kalvion key container.\n"},
        {110, "Unable to add key of the same purpose to Kalvion container. \n"},
        {111, "Unable to repair Kalvion CSP key container.\n"},
        {121, "Failed to retreive public key from Kalvion CSP key container.\n"},
        {125, "Kalvion CSP key container is in use by another command.\n"},
        {126, "The signature key cannot be verified: its copies differ or only one is readable. "
              "Specify its certificate with -certsg.\n"},
        {129, "The key exchange key cannot be verified: its copies differ or only one is "
              "readable. Specify its certificate with -certex.\n"},
        {130, "PKCS#12 key container file asks for too much work to open (too many iterations or "
              "parts).\n"}};
    std::string out;
    for (int id : messageIds) {
        EXPECT_EQ(kTexts.count(id), 1u) << id;
        out += kTexts.count(id) != 0 ? kTexts.at(id) : "?";
    }
    return out + "Failed while executing.\n";
}

std::string FailureOutput(int messageId) { return FailureOutput(std::vector<int>{messageId}); }

static HardeningKey LoadKey(const std::string& name) {
    HardeningKey key{
        DataPath("hardening/" + name + ".pfx"), DataPath("hardening/" + name + ".cer"), {}};
    for (const VectorRecord& r :
         LoadVectors("hardening/keys.vec", {"File", "Certificate", "PublicKey"})) {
        if (r.Get("File") == name + ".pfx") key.publicKey = r.Hex("PublicKey");
    }
    EXPECT_FALSE(key.publicKey.empty()) << "no fixture " << name;
    return key;
}

const HardeningKey& SignKey() {
    static const HardeningKey key = LoadKey("sign-2001");
    return key;
}

const HardeningKey& ExchangeKey() {
    static const HardeningKey key = LoadKey("exchange-2001");
    return key;
}

int ExitCode(const CommandRun& run) {
    return run.ok ? 0 : run.messageId > 0 && run.messageId < 200 ? run.messageId : 200;
}

bool OpensWithKeys(const std::string& folder, bool second) {
    Bytes primary, secondary;
    return OpenContainerStrict(folder.c_str(), u"") &&
           RecoverPublicKeys(folder, u"", primary, secondary) && primary == SignKey().publicKey &&
           secondary == (second ? ExchangeKey().publicKey : Bytes{});
}

bool RecoverPublicKeys(const std::string& folder, const char16_t* password, Bytes& primary,
                       Bytes& secondary) {
    SecureBlob first, second;
    const bool ok = ExportPublicKeys(folder.c_str(), password, "", "", 0, first, second);
    primary = BlobBytes(first);
    secondary = BlobBytes(second);
    return ok;
}

std::vector<std::string> AddArgs(const std::string& folder, const std::string& password) {
    return {"-p12addtokv", "-ex",         "-infile", ExchangeKey().pfx, "-passp12",
            "secret",      "-contfolder", folder,    "-passkv",         password};
}

std::vector<std::string> RepairArgs(const std::string& folder, const std::string& password) {
    const std::string& sign = SignKey().certificate;
    const std::string& exchange = ExchangeKey().certificate;
    return {"-kvrepair", "-contfolder", folder,    "-certsg", sign,
            "-certex",   exchange,      "-passkv", password};
}

std::string MakeFixtureContainer(const std::string& reader, const std::string& password,
                                 bool secondKey) {
    fs::create_directories(reader);
    const bool made =
        RunCommandInProcess({"-p12tokv", "-sg", "-infile", SignKey().pfx, "-passp12", "secret",
                             "-contname", "fixture", "-rdrfolder", reader, "-passkv", password})
            .ok;
    const std::string folder = reader + "/fixture.000";
    const bool added = !secondKey || RunCommandInProcess(AddArgs(folder, password)).ok;
    return made && added && fs::exists(folder) ? folder : "";
}

}  // namespace keymend::test
