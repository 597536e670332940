// The key of a PKCS#12 file into a container image: the PKCS#12 reader hands the key to a sink
// that stores it into the image (container/import.h), and the key's certificate joins it.
#pragma once

#include <cstdint>

#include "container/container.h"
#include "container/import.h"
#include "pkcs12/pkcs12.h"

namespace keymend {

// Stores every key the reader finds into one slot of an image.
class ImageKeySink final : public Pkcs12KeySink {
  public:
    ImageKeySink(ContainerImage& image, ImportSlot slot, uint32_t keySpec)
        : image_(image), slot_(slot), keySpec_(keySpec) {}
    bool StoreKey(const Pkcs12PrivateKey& key, Pkcs12Failure* failure) override;
    bool StoredPublicKey(uint8_t* out, size_t* length) override;

  private:
    ContainerImage& image_;
    ImportSlot slot_;
    uint32_t keySpec_;
};

// Reads a PKCS#12 file into the slot: kFirstKey needs `image` empty and creates a new image
// there first (it stays when the call fails); kSecondKey needs an opened image. The key's
// certificate is recorded in the slot's properties. False, with *failure telling why, when the
// reader refuses the file (and *algorithm the OID of an unsupported algorithm).
bool ReadPkcs12Key(DerBlob file, const char* password, ContainerImagePtr& image, ImportSlot slot,
                   uint32_t keySpec, bool noMacVerify, Pkcs12Failure* failure = nullptr,
                   OidText* algorithm = nullptr);

}  // namespace keymend
