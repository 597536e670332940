// Fuzz target for the PKCS#12 reader. Byte 0 chooses the run:
//   bits 0-1: password ("secret", "", a Cyrillic one, "secret" again), the fixtures' passwords
//   bit 2: mode 1 (second key into an opened one-key image) instead of mode 0
//   bit 3: skip the MAC; bit 4: signature key instead of exchange key
//   bits 5-6: mode 1: the first key's provider type (75, 80, 81, 80)
// The rest is the file. Built as a libFuzzer binary with KEYMEND_LIBFUZZER; the test suite
// replays fuzz/corpus/pkcs12/.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "container/container.h"
#include "container/protection.h"
#include "crypto/context/crypto_context.h"
#include "commands/import.h"

namespace keymend::fuzz {

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// An image as OpenContainerStrict leaves it for the reader: the first key's algorithm and the
// masks of both copies (small valid masks; their values do not matter to the reader).
ContainerImagePtr OpenedImage(int kind) {
    static const char* const kAlgorithms[4] = {"1.2.643.2.2.19", "1.2.643.7.1.1.1.1",
                                               "1.2.643.7.1.1.1.2", "1.2.643.7.1.1.6.1"};
    ContainerImagePtr image = CreateContainerImage();
    Check(image != nullptr);
    Check(image->header.firstKey.algorithm.Set(kAlgorithms[kind]));
    const uint32_t length = kind == 2 ? 64 : 32;
    Check(image->masks.mask.Allocate(length) && image->masks2.mask.Allocate(length));
    image->masks.mask[0] = 3;
    image->masks2.mask[0] = 5;
    return image;
}

// True when an INTEGER above 65,536 directly follows an OCTET STRING (a salt) anywhere in the
// input, as the iteration counts of PBKDF2 and of the MAC do. Such counts are legal (up to
// kMaxPbkdf2Iterations) but make one run take seconds, so the fuzzer skips them.
bool HasLargeIterationCount(const uint8_t* data, size_t size) {
    for (size_t i = 2; i + 2 < size; ++i) {
        if (data[i] != 0x02 || data[i + 1] < 3) continue;
        bool afterSalt = false;
        for (size_t saltLength = 0; saltLength <= 127 && saltLength + 2 <= i; ++saltLength) {
            const size_t start = i - saltLength - 2;
            if (data[start] == 0x04 && data[start + 1] == saltLength) afterSalt = true;
        }
        if (!afterSalt) continue;
        const size_t length = data[i + 1];
        uint64_t value = 0;
        for (size_t j = 0; j < length && j < 8 && i + 2 + j < size; ++j) {
            value = (value << 8) | data[i + 2 + j];
        }
        if (length > 8 || value > 65536) return true;
    }
    return false;
}

}  // namespace

int Pkcs12FuzzOne(const uint8_t* data, size_t size) {
    static const bool contextReady = CryptoContextInit(1);
    Check(contextReady);
    if (size < 1 || size > 64 * 1024 || HasLargeIterationCount(data + 1, size - 1)) return 0;
    static const char* const kPasswords[4] = {
        "secret", "",
        "\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c-\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87\xd0\xb0",
        "secret"};
    const uint8_t control = data[0];
    const ImportSlot mode = (control & 4) != 0 ? ImportSlot::kSecondKey : ImportSlot::kFirstKey;
    const uint32_t keySpec = (control & 16) != 0 ? 2 : 1;
    // An exact-size heap copy, so that any read past the end is caught.
    std::vector<uint8_t> file(data + 1, data + size);
    ContainerImagePtr image;
    if (mode == ImportSlot::kSecondKey) image = OpenedImage((control >> 5) & 3);
    Pkcs12Failure failure = Pkcs12Failure::kNone;
    const bool ok = ReadPkcs12Key(DerBlob{static_cast<uint32_t>(file.size()), file.data()},
                                  kPasswords[control & 3], image, mode, keySpec,
                                  (control & 8) != 0, &failure);
    if (!ok) {
        Check(failure != Pkcs12Failure::kNone);
        return 0;
    }
    Check(image != nullptr);
    const KeyProperties& properties =
        mode == ImportSlot::kFirstKey ? image->header.firstKey : image->header.secondKey;
    const SecureBlob& key =
        mode == ImportSlot::kFirstKey ? image->primary.firstKey : image->primary.secondKey;
    const SecureBlob& key2 =
        mode == ImportSlot::kFirstKey ? image->primary2.firstKey : image->primary2.secondKey;
    if (key.empty()) return 0;  // a file without a key bag
    // A stored key is masked in both copies, with the length of its provider type.
    const uint32_t length = KeyLengthOfProviderType(ProviderTypeOfOid(properties.algorithm));
    Check(length == 32 || length == 64);
    Check(key.size() == length && key2.size() == length);
    Check(image->masks.mask.size() == length && image->masks2.mask.size() == length);
    Check(properties.publicKeyCheck.size() == kPublicKeyCheckSize);
    return 0;
}

}  // namespace keymend::fuzz

#ifdef KEYMEND_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return keymend::fuzz::Pkcs12FuzzOne(data, size);
}
#endif
