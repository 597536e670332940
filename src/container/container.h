// A key container: a folder of six DER files, held in memory as a ContainerImage.
//
// Folder layout: <folder>/name.key, header.key, primary.key, masks.key, primary2.key,
// masks2.key. Paths are byte strings as given on the command line; the platform's separator
// joins folder and file names, and trailing separators on a folder argument are ignored. Key files
// are created readable and writable by their owner only (0600) and new container folders accessible
// by their owner only (0700), whatever the umask.
//
// A command opens the folder once (OpenContainerFolder) and works through that handle, holding
// its lock for the whole run; every rewrite replaces the files as one step (rewrite.h), so any
// later command sees either the whole old container or the whole new one.
//
// The records and the image live in records.h, the password protection in protection.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "container/layout.h"
#include "container/records.h"
#include "platform/folder.h"

namespace keymend {


// Which record a file is decoded into (ReadWholeFile).
enum class ContainerFile { kName, kHeader, kPrimary, kPrimary2, kMasks, kMasks2 };
const char* ContainerFileName(ContainerFile file);

// Reads the file at `path` (or the file of the opened folder) whole (at most kMaxKeyFileSize
// bytes) and decodes it into the record of `image` that `file` names. The read buffer is wiped
// before it is freed. False when the file cannot be read or does not decode (the record may then
// be partly filled).
bool ReadWholeFile(const std::string& path, ContainerFile file, ContainerImage& image);
bool ReadWholeFile(const FolderHandle& folder, ContainerFile file, ContainerImage& image);

// What reading one file of a container found, as ReadWholeFile reads it (which keeps only
// `decoded`). The decoders ignore bytes after a record's outer SEQUENCE; here they are damage,
// except zero bytes after the header's (an extended header is padded with them).
enum class FileState { kOk, kMissing, kUnreadable, kTooLarge, kNotDer, kTrailingBytes };
struct FileInspection {
    FileState state = FileState::kMissing;
    uint64_t size = 0;     // the file's length (also when over kMaxKeyFileSize)
    uint32_t offset = 0;   // kNotDer: where decoding first went wrong; kTrailingBytes: the first
                           // byte after the record that should not be there
    bool decoded = false;  // the record was decoded into the image
};
FileInspection InspectContainerFile(const FolderHandle& folder, ContainerFile file,
                                    ContainerImage& image);

enum class FolderStatus { kOpened, kBusy, kFailed };
// Opens the container folder (at most 242 bytes) once and takes its lock: exclusive to change
// the folder, shared to read it; kBusy when another command holds it past the bounded wait.
// What a rewrite cut short left behind is finished first (rewrite.h), under the exclusive lock,
// which a reader then keeps. kFailed when the folder cannot be opened or finished.
FolderStatus OpenContainerFolder(const char* folder, LockMode mode, FolderHandle& handle);

// For a reader that must change nothing: opens the folder and takes its shared lock, but only
// reports (*pendingRewrite) what a cut-short rewrite left, which the next command that opens it
// with OpenContainerFolder finishes or undoes.
FolderStatus OpenContainerFolderUnchanged(const char* folder, FolderHandle& handle,
                                          bool* pendingRewrite);

// ---- Opening ---------------------------------------------------------------------------------
// Reads all six files of the container in `folder` (each must be present and well formed) and
// verifies, in order: provider type, container parameter set, both mask check values, the header
// MAC, the password check (when present and flagged), then decrypts both key fields of both
// copies and checks each key against its public-key check value. Null on any failure (the partly
// filled image is wiped).
// The path forms open the folder themselves (OpenContainerFolder, shared lock).
// *failure, when given, says which step refused it.
enum class OpenFailure {
    kNone,
    kUnreadable,    // the folder or one of the six files cannot be read or does not decode
    kKeyAlgorithm,  // the first key's algorithm or the container's parameter set is unknown
    kMaskCheck,     // a mask check value does not match
    kHeaderMac,
    kPassword,      // the header's password check value does not match
    kKeyCheck,      // a key does not decrypt to its public-key check value
};
ContainerImagePtr OpenContainerStrict(const FolderHandle& folder, const char16_t* password,
                                      OpenFailure* failure = nullptr);
ContainerImagePtr OpenContainerStrict(const char* folder, const char16_t* password,
                                      OpenFailure* failure = nullptr);

// Whether a tolerant open reads the header: its first key's algorithm then gives the provider
// type when it is known.
enum class TolerantHeader { kSkip, kRead };
// Opens what can be used. With kRead the header is read (whatever decodes is kept) and its
// first key's algorithm gives the provider type when it is known; otherwise `providerType`.
// Unreadable files leave their records empty. A copy is usable when its key file has a first key
// and its masks file passes the mask check under `paramSet`; each usable copy's key fields are
// decrypted into firstKeyDecrypted / secondKeyDecrypted (a copy that is not usable keeps them
// empty). No header MAC, password or public-key check is made. Null when the folder path is too
// long, the provider type is 0, no copy is usable, or a KEK or a decryption fails.
ContainerImagePtr OpenContainerTolerant(const FolderHandle& folder, const char16_t* password,
                                        const char* paramSet, uint32_t providerType,
                                        TolerantHeader header);
ContainerImagePtr OpenContainerTolerant(const char* folder, const char16_t* password,
                                        const char* paramSet, uint32_t providerType,
                                        TolerantHeader header);
// OpenContainerTolerant under the first GOST 28147-89 parameter set under which a copy opens:
// `first` (when not null), then the 14 sets in table order. *paramSet receives the set.
ContainerImagePtr OpenContainerAnyParamSet(const FolderHandle& folder, const char16_t* password,
                                           uint32_t providerType, TolerantHeader header,
                                           const char* first, const char** paramSet);

// Folder path without trailing separators (a root stays as it is). Null folder gives "".
std::string NormalizeFolder(const char* folder);
// folder, the platform's separator, file name (folder normalised first).
std::string ContainerFilePath(const std::string& folder, const char* fileName);

// The folder part of a new container: at most kFolderNamePrefixBytes leading bytes of `name`,
// cut back so that no multibyte character is split. False when that part holds a path
// separator.
bool FolderNamePrefix(const char* name, std::string& prefix);

// Write folder: the writing half of WriteContainer, also used directly by the repair.
//   New container (WriteNewFolder, WriteMode::kNew): under the reader folder's lock, a marker
//     file naming the new folder is written, the first free <prefix>.NNN (.000 to .999) is
//     created private and locked, and the six files appear in it as one step (ReplaceFiles), so
//     no half container is ever seen; the marker then goes. Markers a killed run left are dealt
//     with first: their container is finished when its writing was decided, else removed. Any
//     failure removes what was written. The reader folder may be at most 250 bytes, the new
//     folder path at most 242 (checked before anything is created). *createdFolder receives the
//     new folder's path.
//   Rewrite (WriteMode::kRewrite): the six files of the container in the opened folder, whose
//     exclusive lock the caller holds, are replaced as one step (ReplaceFiles, rewrite.h).
// name: the full container name, NUL-terminated, written to name.key whole. extendHeader pads
// header.key to kExtendedHeaderSize bytes. The header MAC is computed into image.header.
enum class WriteMode { kNew = 0, kRewrite = 1 };
FolderStatus WriteNewFolder(ContainerImage& image, const char* readerFolder, const char* name,
                            bool extendHeader, std::string* createdFolder = nullptr);
bool WriteFolder(ContainerImage& image, FolderHandle& folder, const char* name,
                 bool extendHeader);
// Either mode by path: mode 1 opens the folder (OpenContainerFolder, exclusive) for the rewrite.
bool WriteFolder(ContainerImage& image, const char* folder, const char* name, WriteMode mode,
                 bool extendHeader, std::string* createdFolder = nullptr);

// Protects the image with the password (ProtectNewContainer in mode 0, ProtectSecondKey in
// mode 1; protection.h), then WriteFolder without extended header. After a failure the image
// may be partly encrypted and must not be written again.
bool WriteContainer(ContainerImage& image, const char* folder, const char16_t* password,
                    const char* name, WriteMode mode, std::string* createdFolder = nullptr);

}  // namespace keymend
