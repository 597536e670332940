#include "container/container.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "asn1/der_strict.h"
#include "container/protection.h"
#include "container/rewrite.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"

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
    std::string stored;  // the name in the form name.key keeps it
    if (!StoredNameBytes(name, stored) || stored.size() > UINT32_MAX) return false;
    return EncodeKeyFile(image.primary, files[0].bytes) &&
           EncodeMaskFile(image.masks, files[1].bytes) &&
           EncodeKeyFile(image.primary2, files[2].bytes) &&
           EncodeMaskFile(image.masks2, files[3].bytes) &&
           EncodeHeaderFile(image.header, extendHeader, files[4].bytes) &&
           EncodeNameFile(reinterpret_cast<const uint8_t*>(stored.data()),
                          static_cast<uint32_t>(stored.size()), files[5].bytes);
}

// While a new container is made, a marker in the reader folder, "keymend.<tag>.new", names its
// folder: a run killed on the way leaves it, and the next run in that reader folder finishes
// the container or takes it away.
constexpr const char* kMarkerPrefix = "keymend.";
constexpr const char* kMarkerSuffix = ".new";
constexpr size_t kMaxMarkerSize = 64;

bool IsMarkerName(const std::string& name) {
    const size_t prefix = std::strlen(kMarkerPrefix), suffix = std::strlen(kMarkerSuffix);
    return name.size() > prefix + suffix && name.compare(0, prefix, kMarkerPrefix) == 0 &&
           name.compare(name.size() - suffix, suffix, kMarkerSuffix) == 0 &&
           IsRewriteTag(name.substr(prefix, name.size() - prefix - suffix));
}

uint8_t* AllocateIntoString(size_t size, void* context) {
    auto* text = static_cast<std::string*>(context);
    text->resize(size);
    return reinterpret_cast<uint8_t*>(text->data());
}

// A container folder of the reader folder (the name a marker holds): "<prefix>.NNN".
bool IsNumberedName(const std::string& name) {
    if (name.size() < 5 || name.size() > kFolderNamePrefixBytes + 4 ||
        name[name.size() - 4] != '.') {
        return false;
    }
    for (size_t i = name.size() - 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    for (char c : name) {
        if (IsPathSeparator(c) || c == '\0') return false;
    }
    return name != "." && name != "..";
}

// Takes a new container folder away again: only the six files (a leftover of its making is
// finished first, which for a container never completed removes them all) and the folder.
bool RemoveNewFolder(FolderHandle& reader, const std::string& name) {
    FolderHandle folder;
    if (folder.OpenSubfolder(reader, name.c_str())) {
        if (folder.Lock(LockMode::kExclusive) != LockResult::kLocked) return false;
        if (HasRewriteLeftovers(folder) && !FinishRewriteLeftovers(folder)) return false;
        for (const char* file : {kPrimaryFile, kMasksFile, kPrimary2File, kMasks2File,
                                 kHeaderFile, kNameFile}) {
            if (!folder.Remove(file)) return false;
        }
        folder.Close();
    }
    return reader.Kind(name.c_str()) == EntryKind::kAbsent || reader.RemoveSubfolder(name.c_str());
}

// Under the reader folder's exclusive lock no other run is making a container in it: every
// marker there is what a killed run left. Its container stays when its making was decided
// (finished now, or by a command that opened it since); otherwise it goes.
void FinishKilledCreations(FolderHandle& reader) {
    std::vector<std::string> names;
    if (!reader.List(names)) return;
    for (const std::string& marker : names) {
        std::string name;
        if (!IsMarkerName(marker)) continue;
        // A marker cut short was never followed by its folder: the folder is made after the
        // marker is on disk.
        if (!reader.ReadFile(marker.c_str(), kMaxMarkerSize, AllocateIntoString, &name) ||
            !IsNumberedName(name)) {
            if (reader.Kind(marker.c_str()) == EntryKind::kFile) reader.Remove(marker.c_str());
            continue;
        }
        FolderHandle folder;
        bool complete = false;
        if (folder.OpenSubfolder(reader, name.c_str()) &&
            folder.Lock(LockMode::kExclusive) == LockResult::kLocked &&
            (!HasRewriteLeftovers(folder) || FinishRewriteLeftovers(folder))) {
            complete = folder.Kind(kHeaderFile) == EntryKind::kFile;
        }
        folder.Close();
        if (complete || RemoveNewFolder(reader, name)) reader.Remove(marker.c_str());
    }
    reader.Sync();
}

// Claims the first free <prefix>.NNN with its marker written first; the marker's name in
// `marker`, the folder's in `name`.
FolderStatus ClaimNumberedFolder(FolderHandle& reader, const std::string& prefix,
                                 std::string& marker, std::string& name) {
    std::string tag;
    if (!MakeRewriteTag(tag)) return FolderStatus::kFailed;
    marker = kMarkerPrefix + tag + kMarkerSuffix;
    for (int n = 0; n <= kMaxFolderNumber; ++n) {
        char number[8];
        std::snprintf(number, sizeof number, ".%03d", n);
        name = prefix + number;
        if (reader.Kind(name.c_str()) != EntryKind::kAbsent) continue;
        if (!reader.CreateNewFile(marker.c_str(), reinterpret_cast<const uint8_t*>(name.data()),
                                  name.size(), true) ||
            !reader.Sync()) {
            reader.Remove(marker.c_str());
            return FolderStatus::kFailed;
        }
        const FolderCreation created = reader.CreateSubfolder(name.c_str());
        if (created == FolderCreation::kCreated) return FolderStatus::kOpened;
        reader.Remove(marker.c_str());
        if (created == FolderCreation::kFailed) break;  // no other number would do better
    }
    reader.Sync();
    return FolderStatus::kFailed;
}

}  // namespace

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
    return InspectContainerFile(folder, file, image).decoded;
}

namespace {

// Reads into a SecureBlob, noting the size asked for, and refuses what is over the limit (the
// platform stats the file first, so nothing of it is read then).
struct BoundedRead {
    SecureBlob bytes;
    uint64_t size = 0;
};

uint8_t* AllocateBounded(size_t size, void* context) {
    auto* read = static_cast<BoundedRead*>(context);
    read->size = size;
    return size > kMaxKeyFileSize ? nullptr : AllocateIntoBlob(size, &read->bytes);
}

// The first byte after the file's outer element that the format does not allow there, or 0
// when there is none.
uint32_t UnexpectedTrailingByte(const SecureBlob& bytes, ContainerFile file) {
    DerCursor cursor = DerCursorOver(bytes.data(), bytes.size());
    DerBlob content;
    if (!DerReadExact(cursor, kDerSequence, &content)) return 0;
    const uint32_t end = bytes.size() - cursor.remaining;
    for (uint32_t i = end; i < bytes.size(); ++i) {
        if (file != ContainerFile::kHeader || bytes[i] != 0) return i;
    }
    return 0;
}

}  // namespace

FileInspection InspectContainerFile(const FolderHandle& folder, ContainerFile file,
                                    ContainerImage& image) {
    FileInspection found;
    BoundedRead read;
    const char* name = ContainerFileName(file);
    if (!folder.ReadFile(name, SIZE_MAX, AllocateBounded, &read)) {
        const EntryKind kind = folder.Kind(name);
        found.size = read.size;
        found.state = kind == EntryKind::kAbsent        ? FileState::kMissing
                      : read.size > kMaxKeyFileSize ? FileState::kTooLarge
                                                      : FileState::kUnreadable;
        return found;
    }
    found.size = read.bytes.size();
    DerResetFailure();
    found.decoded = DecodeInto(read.bytes, file, image);
    if (!found.decoded) {
        const uint8_t* at = DerFailurePosition();
        const uint8_t* start = read.bytes.data();
        found.state = FileState::kNotDer;
        if (at != nullptr && at >= start && at <= start + read.bytes.size()) {
            found.offset = static_cast<uint32_t>(at - start);
        }
        return found;
    }
    found.offset = UnexpectedTrailingByte(read.bytes, file);
    found.state = found.offset != 0 ? FileState::kTrailingBytes : FileState::kOk;
    return found;
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

FolderStatus OpenContainerFolderUnchanged(const char* folder, FolderHandle& handle,
                                          bool* pendingRewrite) {
    *pendingRewrite = false;
    const std::string path = NormalizeFolder(folder);
    if (path.empty() || path.size() > kMaxContainerFolderPath || !handle.Open(path.c_str())) {
        return FolderStatus::kFailed;
    }
    const LockResult lock = handle.Lock(LockMode::kShared);
    if (lock == LockResult::kLocked) {
        *pendingRewrite = HasRewriteLeftovers(handle);
        return FolderStatus::kOpened;
    }
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
    FinishKilledCreations(reader);
    std::string marker, folderName;
    if (ClaimNumberedFolder(reader, prefix, marker, folderName) != FolderStatus::kOpened) {
        return FolderStatus::kFailed;
    }
    // The files appear as one step, as in a rewrite: no half container is ever seen, not even on
    // FAT, where a folder cannot be renamed with its files.
    FolderHandle folder;
    NewFileContent contents[kFileCount];
    for (int i = 0; i < kFileCount; ++i) {
        contents[i] = {files[i].name, files[i].bytes.data(), files[i].bytes.size(), true};
    }
    const bool written = folder.OpenSubfolder(reader, folderName.c_str()) &&
                         folder.Lock(LockMode::kExclusive) == LockResult::kLocked &&
                         ReplaceFiles(folder, contents, kFileCount);
    folder.Close();
    if (!written && !RemoveNewFolder(reader, folderName)) return FolderStatus::kFailed;
    reader.Remove(marker.c_str());
    reader.Sync();
    if (!written) return FolderStatus::kFailed;
    if (createdFolder != nullptr) *createdFolder = ContainerFilePath(given, folderName.c_str());
    return FolderStatus::kOpened;
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

bool WriteFolder(ContainerImage& image, const char* folder, const char* name, WriteMode mode,
                 bool extendHeader, std::string* createdFolder) {
    if (mode == WriteMode::kNew) {
        return WriteNewFolder(image, folder, name, extendHeader, createdFolder) ==
               FolderStatus::kOpened;
    }
    FolderHandle handle;
    return mode == WriteMode::kRewrite &&
           OpenContainerFolder(folder, LockMode::kExclusive, handle) == FolderStatus::kOpened &&
           WriteFolder(image, handle, name, extendHeader);
}

bool WriteContainer(ContainerImage& image, const char* folder, const char16_t* password,
                    const char* name, WriteMode mode, std::string* createdFolder) {
    const bool protectedOk = mode == WriteMode::kNew ? ProtectNewContainer(image, password)
                                                     : ProtectSecondKey(image, password);
    return protectedOk && WriteFolder(image, folder, name, mode, false, createdFolder);
}

}  // namespace keymend
