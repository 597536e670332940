#include "container/container.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "container/protection.h"
#include "container/rewrite.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace keymend {

namespace {

uint8_t* AllocateIntoBlob(size_t size, void* context) {
    auto* blob = static_cast<SecureBlob*>(context);
    if (size > UINT32_MAX || !blob->Allocate(static_cast<uint32_t>(size))) return nullptr;
    return blob->data();
}

// One file to be written: its name and its encoding.
struct PendingFile {
    const char* name;
    SecureBlob bytes;
};

// The six files in the order they are written: the first copy, the second copy, the header,
// the name.
constexpr int kFileCount = 6;

bool EncodeAll(ContainerImage& image, const char* name, bool extendHeader,
               PendingFile (&files)[kFileCount]) {
    files[0].name = kPrimaryFile;
    files[1].name = kMasksFile;
    files[2].name = kPrimary2File;
    files[3].name = kMasks2File;
    files[4].name = kHeaderFile;
    files[5].name = kNameFile;
    const size_t nameLength = std::strlen(name);
    if (nameLength > UINT32_MAX) return false;
    return EncodeKeyFile(image.primary, files[0].bytes) &&
           EncodeMaskFile(image.masks, files[1].bytes) &&
           EncodeKeyFile(image.primary2, files[2].bytes) &&
           EncodeMaskFile(image.masks2, files[3].bytes) &&
           EncodeHeaderFile(image.header, extendHeader, files[4].bytes) &&
           EncodeNameFile(reinterpret_cast<const uint8_t*>(name), static_cast<uint32_t>(nameLength),
                          files[5].bytes);
}

constexpr const char* kStagingPrefix = "keymend.";
constexpr const char* kStagingSuffix = ".new";

std::string StagingName(const std::string& tag) { return kStagingPrefix + tag + kStagingSuffix; }

bool IsStagingName(const std::string& name) {
    const size_t prefix = std::strlen(kStagingPrefix), suffix = std::strlen(kStagingSuffix);
    return name.size() > prefix + suffix && name.compare(0, prefix, kStagingPrefix) == 0 &&
           name.compare(name.size() - suffix, suffix, kStagingSuffix) == 0 &&
           IsRewriteTag(name.substr(prefix, name.size() - prefix - suffix));
}

// Removes a staging folder with whatever of the six files it holds (nothing else is touched: a
// folder holding anything more stays).
bool RemoveStaging(FolderHandle& reader, const std::string& name) {
    FolderHandle staging;
    if (staging.OpenSubfolder(reader, name.c_str())) {
        for (const char* file : {kPrimaryFile, kMasksFile, kPrimary2File, kMasks2File,
                                 kHeaderFile, kNameFile}) {
            staging.Remove(file);
        }
        staging.Close();
    }
    return reader.RemoveSubfolder(name.c_str());
}

// Under the reader folder's exclusive lock no other run is building a container in it, so every
// staging folder there is what a killed run left.
void RemoveStaleStaging(FolderHandle& reader) {
    std::vector<std::string> names;
    if (!reader.List(names)) return;
    bool removed = false;
    for (const std::string& name : names) {
        if (IsStagingName(name) && reader.Kind(name.c_str()) == EntryKind::kOther) {
            removed = RemoveStaging(reader, name) || removed;
        }
    }
    if (removed) reader.Sync();
}

// Writes the six files into a new staging folder of the reader folder; its name on success.
bool BuildStaging(FolderHandle& reader, PendingFile (&files)[kFileCount], std::string& name) {
    std::string tag;
    if (!MakeRewriteTag(tag)) return false;
    name = StagingName(tag);
    if (reader.CreateSubfolder(name.c_str()) != FolderCreation::kCreated) return false;
    FolderHandle staging;
    bool ok = staging.OpenSubfolder(reader, name.c_str());
    for (const PendingFile& file : files) {
        ok = ok && staging.CreateNewFile(file.name, file.bytes.data(), file.bytes.size(), true);
    }
    ok = ok && staging.Sync();
    staging.Close();  // a folder held open cannot be renamed everywhere
    if (!ok) RemoveStaging(reader, name);
    return ok;
}

}  // namespace

ContainerImagePtr CreateContainerImage() {
    return ContainerImagePtr(new (std::nothrow) ContainerImage());
}

const char* ContainerFileName(ContainerFile file) {
    switch (file) {
        case ContainerFile::kName:
            return kNameFile;
        case ContainerFile::kHeader:
            return kHeaderFile;
        case ContainerFile::kPrimary:
            return kPrimaryFile;
        case ContainerFile::kPrimary2:
            return kPrimary2File;
        case ContainerFile::kMasks:
            return kMasksFile;
        case ContainerFile::kMasks2:
            return kMasks2File;
    }
    return nullptr;
}

namespace {

bool DecodeInto(const SecureBlob& bytes, ContainerFile file, ContainerImage& image) {
    switch (file) {
        case ContainerFile::kName:
            return DecodeNameFile(bytes.data(), bytes.size(), image.name);
        case ContainerFile::kHeader:
            return DecodeHeaderFile(bytes.data(), bytes.size(), image.header);
        case ContainerFile::kPrimary:
            return DecodeKeyFile(bytes.data(), bytes.size(), image.primary);
        case ContainerFile::kPrimary2:
            return DecodeKeyFile(bytes.data(), bytes.size(), image.primary2);
        case ContainerFile::kMasks:
            return DecodeMaskFile(bytes.data(), bytes.size(), image.masks);
        case ContainerFile::kMasks2:
            return DecodeMaskFile(bytes.data(), bytes.size(), image.masks2);
    }
    return false;
}

}  // namespace

bool ReadWholeFile(const std::string& path, ContainerFile file, ContainerImage& image) {
    SecureBlob bytes;
    return ReadFileBounded(path.c_str(), kMaxKeyFileSize, AllocateIntoBlob, &bytes) &&
           DecodeInto(bytes, file, image);
}

bool ReadWholeFile(const FolderHandle& folder, ContainerFile file, ContainerImage& image) {
    SecureBlob bytes;
    return folder.ReadFile(ContainerFileName(file), kMaxKeyFileSize, AllocateIntoBlob, &bytes) &&
           DecodeInto(bytes, file, image);
}

FolderStatus OpenContainerFolder(const char* folder, LockMode mode, FolderHandle& handle) {
    const std::string path = NormalizeFolder(folder);
    if (path.empty() || path.size() > kMaxContainerFolderPath || !handle.Open(path.c_str())) {
        return FolderStatus::kFailed;
    }
    LockResult lock = handle.Lock(mode);
    if (lock == LockResult::kLocked && HasRewriteLeftovers(handle)) {
        // Finishing changes the folder: a reader takes the exclusive lock for it and keeps it.
        if (mode == LockMode::kShared) lock = handle.Lock(LockMode::kExclusive);
        if (lock == LockResult::kLocked && !FinishRewriteLeftovers(handle)) {
            lock = LockResult::kFailed;
        }
    }
    if (lock == LockResult::kLocked) return FolderStatus::kOpened;
    handle.Close();
    return lock == LockResult::kBusy ? FolderStatus::kBusy : FolderStatus::kFailed;
}

std::string NormalizeFolder(const char* folder) {
    return NormalizeFolderPath(folder);
}

std::string ContainerFilePath(const std::string& folder, const char* fileName) {
    return JoinPath(folder, fileName);
}

bool FolderNamePrefix(const char* name, std::string& prefix) {
    prefix.clear();
    if (name == nullptr) return false;
    const size_t length = std::strlen(name);
    prefix.assign(name, CharacterPrefixLength(name, length, kFolderNamePrefixBytes));
    for (char c : prefix) {
        if (IsPathSeparator(c)) return false;
    }
    return true;
}

FolderStatus WriteNewFolder(ContainerImage& image, const char* readerFolder, const char* name,
                            bool extendHeader, std::string* createdFolder) {
    if (readerFolder == nullptr || name == nullptr) return FolderStatus::kFailed;
    const std::string given = NormalizeFolder(readerFolder);
    std::string prefix;
    if (given.empty() || given.size() > kMaxReaderFolderPath || !FolderNamePrefix(name, prefix) ||
        ContainerFilePath(given, prefix.c_str()).size() + 4 > kMaxContainerFolderPath) {
        return FolderStatus::kFailed;
    }
    // Everything is encoded before anything on disk changes.
    PendingFile files[kFileCount];
    if (!EncodeAll(image, name, extendHeader, files)) return FolderStatus::kFailed;

    FolderHandle reader;
    if (!reader.Open(given.c_str())) return FolderStatus::kFailed;
    const LockResult lock = reader.Lock(LockMode::kExclusive);
    if (lock != LockResult::kLocked) {
        return lock == LockResult::kBusy ? FolderStatus::kBusy : FolderStatus::kFailed;
    }
    RemoveStaleStaging(reader);
    std::string staging;
    if (!BuildStaging(reader, files, staging)) return FolderStatus::kFailed;
    for (int n = 0; n <= kMaxFolderNumber; ++n) {
        char number[8];
        std::snprintf(number, sizeof number, ".%03d", n);
        const std::string target = prefix + number;
        bool taken = false;
        if (reader.RenameSubfolderNew(staging.c_str(), target.c_str(), &taken)) {
            if (!reader.Sync()) {
                // Not known to be on disk: taken back, so that a failure leaves nothing.
                if (reader.RenameSubfolderNew(target.c_str(), staging.c_str(), nullptr)) {
                    RemoveStaging(reader, staging);
                }
                return FolderStatus::kFailed;
            }
            if (createdFolder != nullptr) *createdFolder = ContainerFilePath(given, target.c_str());
            return FolderStatus::kOpened;
        }
        if (!taken) break;  // no other number would do better
    }
    RemoveStaging(reader, staging);
    reader.Sync();
    return FolderStatus::kFailed;
}

bool WriteFolder(ContainerImage& image, FolderHandle& folder, const char* name,
                 bool extendHeader) {
    if (name == nullptr || !folder.Locked(LockMode::kExclusive)) return false;
    PendingFile files[kFileCount];
    if (!EncodeAll(image, name, extendHeader, files)) return false;
    NewFileContent contents[kFileCount];
    for (int i = 0; i < kFileCount; ++i) {
        contents[i] = {files[i].name, files[i].bytes.data(), files[i].bytes.size(), true};
    }
    return ReplaceFiles(folder, contents, kFileCount);
}

bool WriteFolder(ContainerImage& image, const char* folder, const char* name, int mode,
                 bool extendHeader, std::string* createdFolder) {
    if (mode == kWriteNew) {
        return WriteNewFolder(image, folder, name, extendHeader, createdFolder) ==
               FolderStatus::kOpened;
    }
    FolderHandle handle;
    return mode == kWriteRewrite &&
           OpenContainerFolder(folder, LockMode::kExclusive, handle) == FolderStatus::kOpened &&
           WriteFolder(image, handle, name, extendHeader);
}

bool WriteContainer(ContainerImage& image, const char* folder, const char16_t* password,
                    const char* name, int mode, std::string* createdFolder) {
    const bool protectedOk = mode == kWriteNew       ? ProtectNewContainer(image, password)
                             : mode == kWriteRewrite ? ProtectSecondKey(image, password)
                                                     : false;
    return protectedOk && WriteFolder(image, folder, name, mode, false, createdFolder);
}

}  // namespace keymend
