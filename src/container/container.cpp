#include "container/container.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "container/protection.h"
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

// Files in the order they replace the originals: the first copy as a pair, then the second
// copy, then the header and the name. Each copy is a consistent pair on disk whenever the other
// one is being replaced.
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

std::string TempPath(const std::string& folder, const char* fileName) {
    return ContainerFilePath(folder, fileName) + ".tmp";
}

// A new container: the files go straight into the new folder; any failure removes the folder
// and everything written into it.
bool WriteNewFolder(const std::string& folder, PendingFile (&files)[kFileCount]) {
    bool ok = true;
    for (const PendingFile& file : files) {
        const std::string path = ContainerFilePath(folder, file.name);
        if (!WritePrivateFile(path.c_str(), file.bytes.data(), file.bytes.size())) {
            ok = false;
            break;
        }
    }
    if (ok) return true;
    for (const PendingFile& file : files) RemoveFile(ContainerFilePath(folder, file.name).c_str());
    RemoveFolder(folder.c_str());
    return false;
}

// An existing container: every file is first written and flushed under a temporary name; only
// when all six are on disk do they replace the originals.
bool RewriteFolder(const std::string& folder, PendingFile (&files)[kFileCount]) {
    int written = 0;
    for (; written < kFileCount; ++written) {
        const std::string temp = TempPath(folder, files[written].name);
        if (!WritePrivateFile(temp.c_str(), files[written].bytes.data(),
                              files[written].bytes.size())) {
            break;
        }
    }
    int replaced = 0;
    if (written == kFileCount) {
        for (; replaced < kFileCount; ++replaced) {
            const std::string temp = TempPath(folder, files[replaced].name);
            const std::string path = ContainerFilePath(folder, files[replaced].name);
            if (!ReplaceFile(temp.c_str(), path.c_str())) break;
        }
    }
    if (replaced == kFileCount) return true;
    // Nothing of the failed rewrite may linger: remove the temporaries not yet renamed (the one
    // whose write failed included).
    for (int i = replaced; i < kFileCount; ++i) {
        RemoveFile(TempPath(folder, files[i].name).c_str());
    }
    return false;
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

bool ReadWholeFile(const std::string& path, ContainerFile file, ContainerImage& image) {
    SecureBlob bytes;
    if (!ReadFileBounded(path.c_str(), kMaxKeyFileSize, AllocateIntoBlob, &bytes)) return false;
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

bool WriteFolder(ContainerImage& image, const char* folder, const char* name, int mode,
                 bool extendHeader, std::string* createdFolder) {
    if (folder == nullptr || name == nullptr || (mode != kWriteNew && mode != kWriteRewrite)) {
        return false;
    }
    const std::string given = NormalizeFolder(folder);
    if (given.empty() || given.size() > kMaxReaderFolderPath) return false;

    // Everything is encoded before anything on disk changes.
    PendingFile files[kFileCount];
    if (!EncodeAll(image, name, extendHeader, files)) return false;

    if (mode == kWriteRewrite) {
        if (given.size() > kMaxContainerFolderPath) return false;
        return RewriteFolder(given, files);
    }

    std::string prefix;
    if (!FolderNamePrefix(name, prefix)) return false;
    std::string path = ContainerFilePath(given, prefix.c_str()) + ".000";
    if (path.size() > kMaxContainerFolderPath) return false;
    const size_t digits = path.size() - 3;
    bool created = false;
    for (int n = 0; n <= kMaxFolderNumber && !created; ++n) {
        char number[4];
        std::snprintf(number, sizeof number, "%03d", n);
        path.replace(digits, 3, number);
        const FolderCreation result = CreatePrivateFolder(path.c_str());
        if (result == FolderCreation::kFailed) return false;  // no other number would do better
        created = result == FolderCreation::kCreated;
    }
    if (!created) return false;
    if (!WriteNewFolder(path, files)) return false;
    if (createdFolder != nullptr) *createdFolder = path;
    return true;
}

bool WriteContainer(ContainerImage& image, const char* folder, const char16_t* password,
                    const char* name, int mode, std::string* createdFolder) {
    const bool protectedOk = mode == kWriteNew       ? ProtectNewContainer(image, password)
                             : mode == kWriteRewrite ? ProtectSecondKey(image, password)
                                                     : false;
    return protectedOk && WriteFolder(image, folder, name, mode, false, createdFolder);
}

}  // namespace keymend
