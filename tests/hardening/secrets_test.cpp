// Secrets at release: every SecureBlob (and so every ContainerImage record), every key
// temporary (SecureArray, multi-precision buffers) and the used part of the scratch stack is
// zero when it is released, over the end-to-end paths of the four commands, successful and
// failing.
#include <gtest/gtest.h>

#include <filesystem>

#include "crypto/context/crypto_context.h"
#include "crypto/context/secure_blob.h"
#include "crypto/ec/mp.h"
#include "hardening/hardening_support.h"

namespace keymend::test {
namespace {

size_t gReleased = 0;
size_t gNotWiped = 0;

// Zero, or (multi-precision buffers, which hold curve tables as well as keys) uniformly
// overwritten with their destroy pattern: either way nothing of the old contents survives.
void CheckWiped(const uint8_t* data, size_t size) {
    ++gReleased;
    const uint8_t fill = size != 0 && data[0] == kGuardedDestroyFill ? kGuardedDestroyFill : 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != fill) {
            ++gNotWiped;
            return;
        }
    }
}

TEST(Secrets, EveryReleasedBufferIsZero) {
    TempDir dir;
    const std::string reader = dir / "reader";
    std::filesystem::create_directory(reader);
    const std::string wrongPassword = dir / "wrong";
    gReleased = gNotWiped = 0;
    SetReleaseObserverForTesting(CheckWiped);
    const std::string folder = MakeFixtureContainer(reader, "pw", false);
    const bool made = !folder.empty();
    if (made) {
        // Failing paths: a wrong PKCS#12 password, a wrong container password, a damaged
        // header; then the successful ones.
        RunCommandInProcess({"-p12addtokv", "-ex", "-infile", ExchangeKey().pfx, "-passp12",
                             "wrong", "-contfolder", folder, "-passkv", "pw"});
        RunCommandInProcess({"-p12addtokv", "-ex", "-infile", ExchangeKey().pfx, "-passp12",
                             "secret", "-contfolder", folder, "-passkv", "other"});
        RunCommandInProcess({"-p12addtokv", "-ex", "-infile", ExchangeKey().pfx, "-passp12",
                             "secret", "-contfolder", folder, "-passkv", "pw"});
        RunCommandInProcess({"-kvpublic", "-contfolder", folder, "-passkv", "pw"});
        Bytes header = ReadFileBytes(folder + "/header.key");
        header.back() ^= 1;
        std::filesystem::remove(folder + "/header.key");
        WriteFileBytes(folder + "/header.key", header);
        RunCommandInProcess({"-kvrepair", "-contfolder", folder, "-certsg", SignKey().certificate,
                             "-certex", ExchangeKey().certificate, "-passkv", "other"});
        RunCommandInProcess({"-kvrepair", "-contfolder", folder, "-certsg", SignKey().certificate,
                             "-certex", ExchangeKey().certificate, "-passkv", "pw"});
        RunCommandInProcess({"-kvpublic", "-contfolder", folder, "-passkv", "pw"});
    }
    // The scratch stack is wiped when the context is released.
    CryptoContextRelease();
    const bool reinitialised = CryptoContextInit(1);
    SetReleaseObserverForTesting(nullptr);
    ASSERT_TRUE(reinitialised);
    ASSERT_TRUE(made);
    Bytes primary, secondary;
    ASSERT_TRUE(RecoverPublicKeys(folder, u"pw", primary, secondary));
    EXPECT_EQ(secondary, ExchangeKey().publicKey);  // the paths above did run through
    EXPECT_GT(gReleased, 500u);
    EXPECT_EQ(gNotWiped, 0u) << "of " << gReleased << " released buffers";
}

}  // namespace
}  // namespace keymend::test
