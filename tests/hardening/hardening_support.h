// Helpers shared by the command and hardening suites: commands run in-process, folder snapshots
// and damage, and the PKCS#12 fixtures of tests/data/hardening.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "support/test_support.h"

namespace keymend::test {

// Parses the arguments (the program name is added) and runs the command in this process, as
// the front end would. A refused line gives {false, -1}.
CommandResult RunCommandInProcess(const std::vector<std::string>& args);

// The regular files of a folder, name to contents; Restore leaves exactly these in the folder.
using FolderSnapshot = std::map<std::string, Bytes>;
FolderSnapshot Snapshot(const std::string& folder);
void Restore(const std::string& folder, const FolderSnapshot& files);
// Entries of a folder (files and folders), sorted; empty when it does not exist.
std::vector<std::string> Entries(const std::string& folder);

std::vector<std::string> Words(const std::string& line);  // split at spaces

// Damages a container folder. Each word removes a file ("header.key"), puts a folder in its
// place ("public1/") or changes a byte: "masks.key@1" flips bit 0 of the last byte,
// "header.key@41^5A" XORs the 41st byte from the end with 0x5A.
void DamageFolder(const std::string& folder, const std::string& damage);

Bytes PublicFile(const Bytes& publicKey);  // what -kvpublic writes: 0x04, the length, the key

// What the binary prints when a command fails with message `messageId` (0: none of its own).
std::string FailureOutput(int messageId);

// A PKCS#12 fixture (password "secret"), its DER certificate, its public key (x, y; little-endian).
struct HardeningKey {
    std::string pfx, certificate;
    Bytes publicKey;
};
const HardeningKey& SignKey();      // sign-2001
const HardeningKey& ExchangeKey();  // exchange-2001

// The public keys -kvpublic's computation recovers from `folder` (empty: no second key).
bool RecoverPublicKeys(const std::string& folder, const char16_t* password, Bytes& primary,
                       Bytes& secondary);

// -p12addtokv adding ExchangeKey() as exchange key; -kvrepair with both fixture certificates.
std::vector<std::string> AddArgs(const std::string& folder, const std::string& password = "");
std::vector<std::string> RepairArgs(const std::string& folder, const std::string& password = "");

// A new container "fixture.000" in an empty `reader`: SignKey() as signature key and, with
// secondKey, ExchangeKey() as exchange key. "" on failure.
std::string MakeFixtureContainer(const std::string& reader, const std::string& password,
                                 bool secondKey);

}  // namespace keymend::test
