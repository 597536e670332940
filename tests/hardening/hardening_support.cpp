#include "hardening/hardening_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "cli/command_line.h"
#include "commands/public_export.h"
#include "crypto/context/secure_blob.h"

namespace keymend::test {

namespace fs = std::filesystem;

CommandResult RunCommandInProcess(const std::vector<std::string>& args) {
    std::vector<std::string> storage{"keymend"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    Settings settings;
    if (!ParseCommandLine(settings, static_cast<int>(storage.size()), argv.data())) {
        return {false, -1};
    }
    const std::string command = settings.command;
    if (command == kCommandImportNew) return RunImportNew(settings);
    if (command == kCommandImportAdd) return RunImportAdd(settings);
    if (command == kCommandRepair) return RunRepair(settings);
    if (command == kCommandPublicExport) return RunPublicExport(settings);
    return {false, -1};
}

FolderSnapshot Snapshot(const std::string& folder) {
    FolderSnapshot files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file()) {
            files[entry.path().filename().string()] = ReadFileBytes(entry.path().string());
        }
    }
    return files;
}

void Restore(const std::string& folder, const FolderSnapshot& files) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (files.count(entry.path().filename().string()) == 0) fs::remove_all(entry.path());
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

namespace {

HardeningKey LoadKey(const std::string& pfx) {
    for (const VectorRecord& record :
         LoadVectors("hardening/keys.vec", {"File", "Certificate", "PublicKey"})) {
        if (record.Get("File") == pfx) {
            return {DataPath("hardening/" + pfx),
                    DataPath("hardening/" + record.Get("Certificate")), record.Hex("PublicKey")};
        }
    }
    ADD_FAILURE() << "no fixture " << pfx;
    return {};
}

Bytes ToBytes(const SecureBlob& blob) { return Bytes(blob.data(), blob.data() + blob.size()); }

}  // namespace

const HardeningKey& SignKey() {
    static const HardeningKey key = LoadKey("sign-2001.pfx");
    return key;
}

const HardeningKey& ExchangeKey() {
    static const HardeningKey key = LoadKey("exchange-2001.pfx");
    return key;
}

bool RecoverPublicKeys(const std::string& folder, const char16_t* password, Bytes& primary,
                       Bytes& secondary) {
    SecureBlob first, second;
    const bool ok = ExportPublicKeys(folder.c_str(), password, "", "", 0, first, second);
    primary = ToBytes(first);
    secondary = ToBytes(second);
    return ok;
}

std::string MakeFixtureContainer(const std::string& reader, const std::string& password,
                                 bool secondKey) {
    std::error_code error;
    fs::create_directories(reader, error);
    const std::vector<std::string> before = Entries(reader);
    if (!RunCommandInProcess({"-p12tokv", "-sg", "-infile", SignKey().pfx, "-passp12", "secret",
                              "-contname", "fixture", "-rdrfolder", reader, "-passkv", password})
             .ok) {
        return "";
    }
    std::string folder;
    for (const std::string& name : Entries(reader)) {
        if (std::find(before.begin(), before.end(), name) == before.end()) folder = reader + "/" + name;
    }
    if (folder.empty() || !secondKey) return folder;
    if (!RunCommandInProcess({"-p12addtokv", "-ex", "-infile", ExchangeKey().pfx, "-passp12",
                              "secret", "-contfolder", folder, "-passkv", password})
             .ok) {
        return "";
    }
    return folder;
}

}  // namespace keymend::test
