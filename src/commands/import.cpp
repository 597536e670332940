// -p12tokv and -p12addtokv: the key of a PKCS#12 file into a new container, or into an existing
// one-key container as its second key.
#include "commands/import.h"

#include "commands/commands.h"
#include "container/container.h"
#include "container/protection.h"
#include "crypto/context/secure_blob.h"
#include "pkcs12/pkcs12.h"
#include "platform/files.h"

namespace keymend {

namespace {

// Where ReadFileBounded puts the file, and why it may have refused it.
struct FileBuffer {
    SecureBlob bytes;
    bool tooLarge = false;
    bool noMemory = false;
};

uint8_t* AllocateFileBuffer(size_t size, void* context) {
    auto* buffer = static_cast<FileBuffer*>(context);
    if (size > kMaxPkcs12FileSize) {
        buffer->tooLarge = true;
        return nullptr;
    }
    if (!buffer->bytes.Allocate(static_cast<uint32_t>(size))) {
        buffer->noMemory = true;
        return nullptr;
    }
    // An empty file still needs a non-null target.
    static uint8_t emptyTarget;
    return size == 0 ? &emptyTarget : buffer->bytes.data();
}

// Reads the PKCS#12 file whole. On failure *result holds the message: 102 when the file cannot
// be opened or read, 103 when it is too large to be a PKCS#12 file, none when memory ran out.
bool ReadPkcs12File(const char* path, FileBuffer& buffer, CommandResult* result) {
    if (path != nullptr &&
        ReadFileBounded(path, static_cast<size_t>(-1), AllocateFileBuffer, &buffer))
        return true;
    *result = {false, buffer.tooLarge   ? CommandFailure::kPkcs12Refused
                      : buffer.noMemory ? CommandFailure::kUnspecified
                                        : CommandFailure::kPkcs12FileOpenFailed};
    return false;
}

CommandFailure Pkcs12CommandFailure(Pkcs12Failure failure) {
    switch (failure) {
        case Pkcs12Failure::kDifferentKeyType:
            return CommandFailure::kKeyTypeDiffers;
        case Pkcs12Failure::kTooMuchWork:
            return CommandFailure::kPkcs12TooMuchWork;
        case Pkcs12Failure::kUnsupportedAlgorithm:
            return CommandFailure::kPkcs12Unsupported;
        default:
            return CommandFailure::kPkcs12Refused;
    }
}

}  // namespace

bool ImageKeySink::StoreKey(const Pkcs12PrivateKey& key, Pkcs12Failure* failure) {
    switch (ImportPrivateKey(image_, slot_, keySpec_, key.algorithm.c_str(), key.curve.c_str(),
                             key.digest.c_str(), key.privateKey)) {
        case ImportResult::kStored:
            return true;
        case ImportResult::kDifferentKeyType:
            *failure = Pkcs12Failure::kDifferentKeyType;
            return false;
        case ImportResult::kRejected:
            break;
    }
    return false;
}

bool ImageKeySink::StoredPublicKey(uint8_t* out, size_t* length) {
    return ImportedPublicKey(image_, slot_, out, length);
}

bool ReadPkcs12Key(DerBlob file, const char* password, ContainerImagePtr& image, ImportSlot slot,
                   uint32_t keySpec, bool noMacVerify, Pkcs12Failure* failure,
                   OidText* algorithm) {
    if (failure != nullptr) *failure = Pkcs12Failure::kRejected;
    if (slot == ImportSlot::kFirstKey) {
        if (image) return false;
        image = CreateContainerImage();
        if (!image) return false;
    } else if (!image) {
        return false;
    }
    ImageKeySink sink(*image, slot, keySpec);
    SecureBlob certificate;
    if (!ReadPkcs12(file, password, noMacVerify, sink, certificate, failure, algorithm))
        return false;
    if (certificate.empty()) return true;
    KeyProperties& properties =
        slot == ImportSlot::kFirstKey ? image->header.firstKey : image->header.secondKey;
    if (!properties.certificate.Assign(certificate)) {
        if (failure != nullptr) *failure = Pkcs12Failure::kRejected;
        return false;
    }
    return true;
}

namespace {

// The key of the -infile file into the slot; the file's bytes are wiped before it returns.
bool ImportFile(const Settings& settings, ContainerImagePtr& image, ImportSlot slot,
                CommandResult& result) {
    FileBuffer file;
    if (!ReadPkcs12File(settings.inFile, file, &result)) return false;
    Pkcs12Failure failure = Pkcs12Failure::kNone;
    OidText algorithm;
    if (!ReadPkcs12Key(DerBlob{file.bytes.size(), file.bytes.data()}, settings.p12Password,
                       image, slot, settings.keySpec, settings.noMacVerify != 0, &failure,
                       &algorithm)) {
        result = {false, Pkcs12CommandFailure(failure)};
        if (failure == Pkcs12Failure::kUnsupportedAlgorithm)
            result.failureParameters.push_back(algorithm.c_str());
        return false;
    }
    return true;
}

}  // namespace

CommandResult RunImportNew(const Settings& settings) {
    ContainerImagePtr image;
    CommandResult result;
    if (!ImportFile(settings, image, ImportSlot::kFirstKey, result)) return result;

    // A file without a key bag passes the reader; protecting the empty key field then fails.
    if (!ProtectNewContainer(*image, settings.containerPassword))
        return {false, CommandFailure::kContainerCreateFailed};
    switch (WriteNewFolder(*image, settings.rdrFolder, settings.contName, false)) {
        case FolderStatus::kOpened:
            return {true};
        case FolderStatus::kBusy:
            return {false, CommandFailure::kContainerBusy};
        case FolderStatus::kFailed:
            break;
    }
    return {false, CommandFailure::kContainerCreateFailed};
}

CommandResult RunImportAdd(const Settings& settings) {
    // The folder stays locked from the first read to the last write.
    FolderHandle folder;
    const FolderStatus opened =
        OpenContainerFolder(settings.contFolder, LockMode::kExclusive, folder);
    if (opened == FolderStatus::kBusy) return {false, CommandFailure::kContainerBusy};
    ContainerImagePtr image;
    if (opened == FolderStatus::kOpened)
        image = OpenContainerStrict(folder, settings.containerPassword);
    if (!image) return {false, CommandFailure::kContainerOpenFailed};
    // Only primary.key decides whether the container is full.
    if (!image->primary.secondKey.empty()) return {false, CommandFailure::kContainerFull};
    const bool existingIsExchange = IsKeyAgreementOid(image->header.firstKey.algorithm.c_str());
    const bool newIsExchange = settings.keySpec == kKeySpecExchange;
    if (existingIsExchange == newIsExchange) return {false, CommandFailure::kKeyPurposeTaken};

    CommandResult result;
    if (!ImportFile(settings, image, ImportSlot::kSecondKey, result)) return result;

    if (ProviderTypeOfOid(image->header.secondKey.algorithm) !=
        ProviderTypeOfOid(image->header.firstKey.algorithm))
        return {false, CommandFailure::kKeyTypeDiffers};

    // The container keeps its name: a NUL-terminated copy of name.key.
    const SecureBlob& name = image->name;
    SecureBlob nameText;
    if (!nameText.Allocate(name.size() + 1)) return {false, CommandFailure::kUnspecified};
    for (uint32_t i = 0; i < name.size(); ++i) nameText[i] = name[i];
    if (!ProtectSecondKey(*image, settings.containerPassword) ||
        !WriteFolder(*image, folder, reinterpret_cast<const char*>(nameText.data()), false))
        return {false, CommandFailure::kContainerCreateFailed};
    return {true};
}

}  // namespace keymend
