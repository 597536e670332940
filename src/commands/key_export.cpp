#include "container/key_export.h"

#include <cstdio>
#include <string>
#include <vector>

#include "asn1/utf.h"
#include "commands/certificate_file.h"
#include "commands/commands.h"
#include "container/key_algorithms.h"
#include "crypto/context/crypto_context.h"
#include "pkcs12/pkcs12_writer.h"
#include "platform/console.h"
#include "platform/folder.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace keymend {

namespace {

constexpr const char* kCurrentFolder = ".";

CommandResult Fail(CommandFailure failure, std::string parameter = {}) {
    CommandResult result{false, failure};
    if (!parameter.empty()) result.failureParameters.push_back(std::move(parameter));
    return result;
}

// The file a key goes to: "signature.pfx" or "exchange.pfx", and for the second key of a
// purpose already taken "signature-2.pfx" / "exchange-2.pfx".
std::string KeyExportFileName(bool exchange, uint32_t sameBefore) {
    std::string name = exchange ? "exchange" : "signature";
    if (sameBefore > 0) name.append(1, '-').append(std::to_string(sameBefore + 1));
    return name.append(".pfx");
}

// One key on its way out.
struct KeyOut {
    uint32_t slot = 0;
    bool exchange = false;
    std::string fileName;
    SecureBlob privateKey, publicKey, file;
    const SecureBlob* certificate = nullptr;  // the one to write, or none
};

// A certificate file given on the command line.
struct GivenCertificate {
    const char* path = nullptr;
    CertificateInfo info;
    bool used = false;
};

bool HoldsKey(const SecureBlob& certificateKey, const SecureBlob& publicKey) {
    return certificateKey.size() == publicKey.size() &&
           ConstantTimeEqual(certificateKey.data(), publicKey.data(), publicKey.size());
}

// The header's certificate when it holds the key, else the file given for the key's purpose
// when it holds it, else none. A given file that holds the key is marked used.
void ChooseCertificate(const KeyProperties& entry, GivenCertificate& given, KeyOut& key,
                       CertificateInfo& recorded) {
    if (!entry.certificate.empty() &&
        ParseCertificateFile(entry.certificate.data(), entry.certificate.size(), recorded) &&
        HoldsKey(recorded.publicKey, key.publicKey)) {
        key.certificate = &entry.certificate;
    }
    if (given.path == nullptr || !HoldsKey(given.info.publicKey, key.publicKey)) return;
    given.used = true;
    if (key.certificate == nullptr) key.certificate = &given.info.encoding;
}

// A name for the temporary beside `final`, unlikely to be taken: created exclusively anyway.
bool TemporaryName(const std::string& final, std::string& name) {
    uint8_t random[8];
    if (!RandomBytes(sizeof random, random)) return false;
    char hex[2 * sizeof random + 1];
    for (size_t i = 0; i < sizeof random; ++i) {
        std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
    }
    name.assign(1, '.').append(final).append(1, '.').append(hex).append(".tmp");
    return true;
}

// Writes every file through a temporary and renames it into place without replacing anything.
// On failure whatever was written is removed again.
CommandResult WriteFiles(FolderHandle& folder, const std::string& folderPath,
                         std::vector<KeyOut>& keys) {
    std::vector<std::string> temporaries;
    size_t renamed = 0;
    const auto undo = [&] {
        for (size_t i = 0; i < temporaries.size(); ++i) {
            folder.Remove(i < renamed ? keys[i].fileName.c_str() : temporaries[i].c_str());
        }
        folder.Sync();
    };
    for (KeyOut& key : keys) {
        std::string temporary;
        if (!TemporaryName(key.fileName, temporary)) {
            undo();
            return Fail(CommandFailure::kExportFailed);
        }
        if (!folder.CreateNewFile(temporary.c_str(), key.file.data(), key.file.size(), true)) {
            undo();
            return Fail(CommandFailure::kOutputFolderUnwritable, folderPath);
        }
        temporaries.push_back(temporary);
    }
    for (; renamed < keys.size(); ++renamed) {
        const RenameResult result =
            folder.RenameNoReplace(temporaries[renamed].c_str(), keys[renamed].fileName.c_str());
        if (result != RenameResult::kRenamed) {
            undo();
            return result == RenameResult::kTargetExists
                       ? Fail(CommandFailure::kOutputExists,
                              JoinPath(folderPath, keys[renamed].fileName.c_str()))
                       : Fail(CommandFailure::kOutputFolderUnwritable, folderPath);
        }
    }
    if (!folder.Sync()) {
        undo();
        return Fail(CommandFailure::kOutputFolderUnwritable, folderPath);
    }
    return {true};
}

// The container name as UTF-8: as stored when it is UTF-8, else read in the locale's codeset (on
// Windows the ANSI code page, in which the import stores names that fit it). What converts
// neither way goes as it is (the writer then takes one character per octet).
std::string NameAsUtf8(const SecureBlob& stored) {
    const std::string name(stored.data(), stored.data() + stored.size());
    std::vector<char16_t> wide(name.size() + 1);
    size_t units = 0;
    if (name.find('\0') != std::string::npos ||
        Utf8ToUtf16(name.c_str(), name.size(), wide.data(), wide.size(), &units) ||
        !CodesetToUtf16(LocaleCodeset(), name.c_str(), wide.data(), wide.size())) {
        return name;
    }
    std::vector<char> utf8(3 * wide.size() + 1);
    return Utf16TextToUtf8(wide.data(), utf8.data(), utf8.size(), nullptr) ? utf8.data() : name;
}

bool EncodeFile(const VerifiedContainer& container, KeyOut& key, const char* password) {
    const KeyProperties& entry = KeyEntry(container, key.slot);
    const uint32_t type = container.providerType;
    // The PKCS#8 algorithm is the provider type's signature algorithm, whatever the key's use.
    const int index = KeyAlgorithmIndex(entry.algorithm.c_str());
    const char* algorithm = index < 0 ? nullptr : KeyAlgorithmOid(index % 3);
    const char* digest =
        entry.digestParamSet.empty() ? ImpliedDigestParamSet(type) : entry.digestParamSet.c_str();
    const std::string name = NameAsUtf8(container.image->name);
    Pkcs12ExportKey out;
    out.algorithm = algorithm;
    out.curve = entry.publicKeyParamSet.c_str();
    out.digest = digest;
    out.paramSet = ContainerParamSet(entry.encryptionParamSet, type);
    out.privateKey = {key.privateKey.size(), key.privateKey.data()};
    out.publicKey = {key.publicKey.size(), key.publicKey.data()};
    if (key.certificate != nullptr) {
        out.certificate = {key.certificate->size(), key.certificate->data()};
    }
    out.friendlyName = {static_cast<uint32_t>(name.size()),
                        reinterpret_cast<const uint8_t*>(name.data())};
    return algorithm != nullptr && digest != nullptr && out.paramSet != nullptr &&
           WritePkcs12(out, password, key.file);
}

}  // namespace

CommandResult RunKeyExport(const Settings& settings) {
    FolderHandle containerFolder;
    const FolderStatus opened =
        OpenContainerFolder(settings.contFolder, LockMode::kShared, containerFolder);
    if (opened == FolderStatus::kBusy) return Fail(CommandFailure::kContainerBusy);
    if (opened != FolderStatus::kOpened) return Fail(CommandFailure::kContainerOpenFailed);
    VerifiedContainer container;
    switch (OpenContainerVerified(containerFolder, settings.containerPassword, container)) {
        case KeyOpenResult::kOpened:
            break;
        case KeyOpenResult::kHeaderDamaged:
            return Fail(CommandFailure::kExportHeaderDamaged);
        case KeyOpenResult::kNotOpened:
            return Fail(CommandFailure::kContainerOpenFailed);
    }

    // Every refusal comes before anything is written.
    std::vector<KeyOut> keys(container.keyCount);
    uint32_t exchangeCount = 0, signatureCount = 0;
    for (uint32_t slot = 0; slot < container.keyCount; ++slot) {
        const KeyProperties& entry = KeyEntry(container, slot);
        KeyOut& key = keys[slot];
        key.slot = slot;
        key.exchange = IsKeyAgreementOid(entry.algorithm.c_str());
        key.fileName =
            KeyExportFileName(key.exchange, key.exchange ? exchangeCount++ : signatureCount++);
        if (entry.flags.empty() || (entry.flags[0] & kKeyFlagExportable) == 0) {
            return Fail(key.exchange ? CommandFailure::kExchangeKeyNotExportable
                                     : CommandFailure::kSignatureKeyNotExportable);
        }
    }
    for (KeyOut& key : keys) {
        if (!UnmaskKey(container, key.slot, key.privateKey, key.publicKey)) {
            return Fail(CommandFailure::kExportFailed);
        }
    }

    GivenCertificate signatureFile, exchangeFile;
    signatureFile.path = settings.certSg;
    exchangeFile.path = settings.certEx;
    for (GivenCertificate* given : {&signatureFile, &exchangeFile}) {
        if (given->path != nullptr && !LoadCertificateFile(given->path, given->info)) {
            return Fail(CommandFailure::kCertificateUnreadable, given->path);
        }
    }
    std::vector<CertificateInfo> recorded(keys.size());
    for (KeyOut& key : keys) {
        GivenCertificate& given = key.exchange ? exchangeFile : signatureFile;
        ChooseCertificate(KeyEntry(container, key.slot), given, key, recorded[key.slot]);
    }
    // A file that holds no key of its purpose is a mistake, not a no-op.
    for (const GivenCertificate* given : {&signatureFile, &exchangeFile}) {
        if (given->path != nullptr && !given->used) {
            return Fail(CommandFailure::kCertificateDoesNotHoldKey, given->path);
        }
    }

    const std::string outDir =
        NormalizeFolderPath(settings.outDir != nullptr ? settings.outDir : kCurrentFolder);
    FolderHandle out;
    if (!out.Open(outDir.c_str())) return Fail(CommandFailure::kOutputFolderUnwritable, outDir);
    for (const KeyOut& key : keys) {
        if (out.Kind(key.fileName.c_str()) != EntryKind::kAbsent) {
            return Fail(CommandFailure::kOutputExists, JoinPath(outDir, key.fileName.c_str()));
        }
    }
    for (KeyOut& key : keys) {
        if (!EncodeFile(container, key, settings.p12Password)) {
            return Fail(CommandFailure::kExportFailed);
        }
        key.privateKey.Reset();
    }
    return WriteFiles(out, outDir, keys);
}

}  // namespace keymend
