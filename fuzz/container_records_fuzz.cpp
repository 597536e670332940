// Fuzz target for the decoders of the container files: the input is decoded as name.key,
// primary.key, masks.key and header.key in turn. What decodes is encoded again and must decode
// to the same record. Built as a libFuzzer binary with KEYMEND_LIBFUZZER; the test suite replays
// fuzz/corpus/container_records/.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "container/records.h"

namespace keymend::fuzz {

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

bool Same(const SecureBlob& a, const SecureBlob& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

bool SameOid(const OidText& a, const OidText& b) { return std::strcmp(a.c_str(), b.c_str()) == 0; }

bool SameProperties(const KeyProperties& a, const KeyProperties& b) {
    return Same(a.flags, b.flags) && SameOid(a.algorithm, b.algorithm) &&
           SameOid(a.publicKeyParamSet, b.publicKeyParamSet) &&
           SameOid(a.digestParamSet, b.digestParamSet) &&
           SameOid(a.encryptionParamSet, b.encryptionParamSet) &&
           Same(a.certificate, b.certificate) && Same(a.publicKeyCheck, b.publicKeyCheck);
}

void NameFile(const std::vector<uint8_t>& input) {
    SecureBlob name;
    if (!DecodeNameFile(input.data(), input.size(), name)) return;
    Check(name.size() < input.size());
    SecureBlob encoded, again;
    Check(EncodeNameFile(name.data(), name.size(), encoded));
    Check(DecodeNameFile(encoded.data(), encoded.size(), again) && Same(name, again));
}

void KeyFile(const std::vector<uint8_t>& input) {
    KeyFileRecord record;
    if (!DecodeKeyFile(input.data(), input.size(), record)) return;
    Check(record.firstKeyDecrypted.empty() && record.secondKeyDecrypted.empty());
    SecureBlob encoded;
    Check(EncodeKeyFile(record, encoded));
    KeyFileRecord again;
    Check(DecodeKeyFile(encoded.data(), encoded.size(), again));
    Check(Same(record.firstKey, again.firstKey) && Same(record.secondKey, again.secondKey));
}

void MaskFile(const std::vector<uint8_t>& input) {
    MaskFileRecord record;
    if (!DecodeMaskFile(input.data(), input.size(), record)) return;
    SecureBlob encoded;
    Check(EncodeMaskFile(record, encoded));
    MaskFileRecord again;
    Check(DecodeMaskFile(encoded.data(), encoded.size(), again));
    Check(Same(record.mask, again.mask) && Same(record.salt, again.salt) &&
          Same(record.maskCheck, again.maskCheck));
}

void HeaderFile(const std::vector<uint8_t>& input) {
    HeaderRecord record;
    if (!DecodeHeaderFile(input.data(), input.size(), record)) return;
    // The raw content is the input's HeaderContent, over which the MAC can be computed.
    Check(record.rawContent.size() <= input.size());
    uint8_t mac[kHeaderMacSize];
    if (const char* paramSet = HeaderMacParamSet(record)) {
        Check(HeaderMac(record.rawContent.data(), record.rawContent.size(), paramSet, mac));
    }
    SecureBlob encoded;
    if (!EncodeHeaderFile(record, (input.size() & 1) != 0, encoded)) return;
    Check(record.headerMac.size() == kHeaderMacSize);
    HeaderRecord again;
    Check(DecodeHeaderFile(encoded.data(), encoded.size(), again));
    Check(Same(record.flags, again.flags) && Same(record.headerMac, again.headerMac) &&
          Same(record.passwordCheck, again.passwordCheck));
    Check(SameProperties(record.firstKey, again.firstKey));
    // The second key's properties are written when its check value is set.
    if (!record.secondKey.publicKeyCheck.empty()) {
        Check(SameProperties(record.secondKey, again.secondKey));
    }
}

}  // namespace

int ContainerRecordsFuzzOne(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const std::vector<uint8_t> input(data, data + size);
    NameFile(input);
    KeyFile(input);
    MaskFile(input);
    HeaderFile(input);
    return 0;
}

}  // namespace keymend::fuzz

#ifdef KEYMEND_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return keymend::fuzz::ContainerRecordsFuzzOne(data, size);
}
#endif
