// Fuzz target for opening a container folder. The input is materialised as a folder:
//   byte 0: bit i (0..5) set = file i is left out; bit 6 = read the header; bit 7 = strict open
//   byte 1: provider type (bits 0-1: 75, 80, 81, 0), parameter set index (bits 2-5, modulo 14),
//           password (bit 6: "fuzz", else empty; an empty one keeps the key derivation short)
//   bytes 2..13: six little-endian 16-bit lengths, in the order name.key, header.key,
//   primary.key, masks.key, primary2.key, masks2.key; the file contents follow in that order
//   (cut short when the input ends).
// Then OpenContainerTolerant (or OpenContainerStrict) runs over it.
// Built as a libFuzzer binary with KEYMEND_LIBFUZZER; the test suite replays
// fuzz/corpus/container_folder/.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "container/container.h"
#include "container/protection.h"
#include "crypto/context/crypto_context.h"
#include "crypto/gost28147/gost28147.h"

namespace keymend::fuzz {

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

const std::string& Folder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/keymend-fuzz-XXXXXX";
        Check(mkdtemp(pattern) != nullptr);
        return std::string(pattern);
    }();
    return folder;
}

void WriteOrRemove(const std::string& path, const uint8_t* data, size_t length, bool present) {
    std::remove(path.c_str());
    if (!present) return;
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr);
    Check(length == 0 || std::fwrite(data, 1, length, f) == length);
    Check(std::fclose(f) == 0);
}

bool SizeFits(const SecureBlob& blob, uint32_t keyLength) {
    return blob.empty() || blob.size() == keyLength;
}

}  // namespace

int ContainerFolderFuzzOne(const uint8_t* data, size_t size) {
    static const bool contextReady = CryptoContextInit(1);
    Check(contextReady);
    if (size < 14 || size > 64 * 1024) return 0;
    static const char* const kFiles[6] = {kNameFile,  kHeaderFile,   kPrimaryFile,
                                          kMasksFile, kPrimary2File, kMasks2File};
    static const uint32_t kProviderTypes[4] = {75, 80, 81, 0};
    const uint8_t presence = data[0];
    const uint32_t providerType = kProviderTypes[data[1] & 3];
    const char* paramSet = ParamSetOid(static_cast<int>(((data[1] >> 2) & 15) % kParamSetCount));
    size_t offset = 14;
    for (int i = 0; i < 6; ++i) {
        size_t length = data[2 + 2 * i] | (size_t{data[3 + 2 * i]} << 8);
        if (length > size - offset) length = size - offset;
        WriteOrRemove(Folder() + "/" + kFiles[i], data + offset, length,
                      (presence & (1u << i)) == 0);
        offset += length;
    }

    const char16_t* password = (data[1] & 0x40) != 0 ? u"fuzz" : u"";
    ContainerImagePtr image =
        (presence & 0x80) != 0
            ? OpenContainerStrict(Folder().c_str(), password)
            : OpenContainerTolerant(Folder().c_str(), password, paramSet, providerType,
                                    (presence & 0x40) != 0 ? TolerantHeader::kRead
                                                           : TolerantHeader::kSkip);
    if (!image) return 0;
    // A usable copy holds a decrypted first key as long as its mask.
    const bool firstUsable = !image->primary.firstKeyDecrypted.empty();
    const bool secondUsable = !image->primary2.firstKeyDecrypted.empty();
    Check(firstUsable || secondUsable);
    if (firstUsable) {
        const uint32_t length = image->masks.mask.size();
        Check(SizeFits(image->primary.firstKeyDecrypted, length) &&
              SizeFits(image->primary.secondKeyDecrypted, length));
    }
    if (secondUsable) {
        const uint32_t length = image->masks2.mask.size();
        Check(SizeFits(image->primary2.firstKeyDecrypted, length) &&
              SizeFits(image->primary2.secondKeyDecrypted, length));
    }
    return 0;
}

}  // namespace keymend::fuzz

#ifdef KEYMEND_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return keymend::fuzz::ContainerFolderFuzzOne(data, size);
}
#endif
