// The container folder's layout: its file names and the limits on its paths and files.
#pragma once

#include <cstddef>

namespace keymend {

// Path limits. A container folder path may be at most 242 bytes (so that the longest file path,
// folder + "/primary2.key", fits in 255 bytes); a reader folder given for a new container at
// most 250 bytes.
constexpr size_t kMaxContainerFolderPath = 242;
constexpr size_t kMaxReaderFolderPath = 250;
// A new container folder is named from at most this many leading bytes of the container name
// (never splitting a multibyte character), then ".000" to ".999".
constexpr size_t kFolderNamePrefixBytes = 8;
constexpr int kMaxFolderNumber = 999;
// Largest key file that is read (a header holds up to two certificates).
constexpr size_t kMaxKeyFileSize = 1u << 20;

constexpr const char* kNameFile = "name.key";
constexpr const char* kHeaderFile = "header.key";
constexpr const char* kPrimaryFile = "primary.key";
constexpr const char* kPrimary2File = "primary2.key";
constexpr const char* kMasksFile = "masks.key";
constexpr const char* kMasks2File = "masks2.key";
// The public keys -kvpublic writes beside the key files.
constexpr const char* kPublic1File = "public1";
constexpr const char* kPublic2File = "public2";

}  // namespace keymend
