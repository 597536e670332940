// Helpers shared by the command and hardening suites: commands run in-process from an argument
// list, folder snapshots and damage, and the keys of the fixtures in tests/data/hardening/.
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

// Every regular file of a folder (no subfolders), name to contents.
using FolderSnapshot = std::map<std::string, Bytes>;
FolderSnapshot Snapshot(const std::string& folder);
void Restore(const std::string& folder, const FolderSnapshot& files);  // exactly these files

// Entries of a folder (files and folders), sorted; empty when it does not exist.
std::vector<std::string> Entries(const std::string& folder);

// The words of a line, split at spaces.
std::vector<std::string> Words(const std::string& line);

// Damages files of a container folder; each word is a file to remove ("header.key") or a byte
// to change: "masks.key@1" flips bit 0 of the last byte, "header.key@41^5A" XORs the 41st byte
// from the end with 0x5A.
void DamageFolder(const std::string& folder, const std::string& damage);

// What -kvpublic writes for a public key: 0x04, the key's length, the key.
Bytes PublicFile(const Bytes& publicKey);

// The fixtures: PKCS#12 files with password "secret" and their DER certificates.
struct HardeningKey {
    std::string pfx;          // path
    std::string certificate;  // path
    Bytes publicKey;          // x then y, little-endian
};
const HardeningKey& SignKey();      // sign-2001
const HardeningKey& ExchangeKey();  // exchange-2001

// The public keys that -kvpublic's computation recovers from the container in `folder`
// (primary first; an absent second key gives an empty second entry). False when none.
bool RecoverPublicKeys(const std::string& folder, const char16_t* password, Bytes& primary,
                       Bytes& secondary);

// -p12addtokv adding ExchangeKey() as key-exchange key to `folder`; -kvrepair of `folder` with
// the certificates of both fixtures.
std::vector<std::string> AddArgs(const std::string& folder, const std::string& password = "");
std::vector<std::string> RepairArgs(const std::string& folder, const std::string& password = "");

// A new one-key container (the signature key of SignKey() imported with -sg) in `reader`,
// under the container password `password`; returns its folder ("" on failure). With
// secondKey, ExchangeKey() is added as the second key (-ex).
std::string MakeFixtureContainer(const std::string& reader, const std::string& password,
                                 bool secondKey);

}  // namespace keymend::test
