// Helpers of the command and hardening suites (Snapshot, Restore, Entries and RecoverPublicKeys
// serve the container tests too).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "support/test_support.h"

namespace keymend::test {

// A command run in this process: success, and the messages the front end would print for its
// failure reason and detail (0: none).
struct CommandRun {
    bool ok = false;
    int messageId = 0;
    int detailId = 0;
};
// Parses and runs a command line (without the program name) in this process; a refused line
// gives {false, -1}.
CommandRun RunCommandInProcess(const std::vector<std::string>& args);
// A run as an exit code: 0, its message id, or 200 for a failure without a message of its own.
int ExitCode(const CommandRun& run);

// The regular files of a folder; Restore leaves exactly these in it.
using FolderSnapshot = std::map<std::string, Bytes>;
FolderSnapshot Snapshot(const std::string& folder);
void Restore(const std::string& folder, const FolderSnapshot& files);
// Names in a folder, sorted; empty when it does not exist.
std::vector<std::string> Entries(const std::string& folder);

std::vector<std::string> Words(const std::string& line);  // split at spaces

// Each word removes a file ("header.key"), puts a folder in its place ("public1/"), XORs the
// n-th byte from the end ("masks.key@1": with 01, "header.key@41^5A": with 5A), cuts the file to
// n bytes ("primary.key#10") or appends a byte ("header.key+5A").
void DamageFolder(const std::string& folder, const std::string& damage);

Bytes PublicFile(const Bytes& publicKey);  // what -kvpublic writes: 0x04, the length, the key

// What the binary prints when a command fails with message `messageId` (0: none), or with
// these messages on lines of their own.
std::string FailureOutput(int messageId);
std::string FailureOutput(const std::vector<int>& messageIds);

// A PKCS#12 file of tests/data/hardening (password "secret"), its certificate and public key.
struct HardeningKey {
    std::string pfx, certificate;
    Bytes publicKey;
};
const HardeningKey& SignKey();      // sign-2001
const HardeningKey& ExchangeKey();  // exchange-2001

// The public keys -kvpublic's computation recovers from `folder` (empty: no second key).
// The container opens strictly and holds SignKey() first and ExchangeKey() second, or nothing
// second.
bool OpensWithKeys(const std::string& folder, bool second);
bool RecoverPublicKeys(const std::string& folder, const char16_t* password, Bytes& primary,
                       Bytes& secondary);

// -p12addtokv adding ExchangeKey(); -kvrepair with both certificates.
std::vector<std::string> AddArgs(const std::string& folder, const std::string& password = "");
std::vector<std::string> RepairArgs(const std::string& folder, const std::string& password = "");

// "fixture.000" in a new `reader`: SignKey() and, with secondKey, ExchangeKey(); "" on failure.
std::string MakeFixtureContainer(const std::string& reader, const std::string& password,
                                 bool secondKey);

}  // namespace keymend::test
