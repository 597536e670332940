// Secrets at release: every SecureBlob (and so every ContainerImage record), every key
// temporary (SecureArray, multi-precision buffers) and the used part of the scratch stack is
// zero when it is released, over the paths of the four commands, successful and failing.
#include <gtest/gtest.h>

#include "container/protection.h"
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
    gReleased = gNotWiped = 0;
    SetReleaseObserverForTesting(CheckWiped);
    const std::string folder = MakeFixtureContainer(dir / "reader", "pw", false);
    if (!folder.empty()) {
        std::vector<std::string> wrongPfxPassword = AddArgs(folder, "pw");
        wrongPfxPassword[5] = "wrong";
        // Failing paths (a wrong PKCS#12 password, a wrong container password, a damaged
        // header), then the successful ones.
        for (const auto& args : std::vector<std::vector<std::string>>{
                 wrongPfxPassword,
                 AddArgs(folder, "other"),
                 AddArgs(folder, "pw"),
                 {"-kvpublic", "-contfolder", folder, "-passkv", "pw"}}) {
            RunCommandInProcess(args);
        }
        DamageFolder(folder, "header.key@1");
        for (const auto& args : std::vector<std::vector<std::string>>{
                 RepairArgs(folder, "other"),
                 RepairArgs(folder, "pw"),
                 {"-kvpublic", "-contfolder", folder, "-passkv", "pw"}}) {
            RunCommandInProcess(args);
        }
    }
    // The scratch stack is wiped when the context is released.
    CryptoContextRelease();
    const bool reinitialised = CryptoContextInit(1);
    SetReleaseObserverForTesting(nullptr);
    ASSERT_TRUE(reinitialised);
    ASSERT_FALSE(folder.empty());
    Bytes primary, secondary;
    ASSERT_TRUE(RecoverPublicKeys(folder, u"pw", primary, secondary));
    EXPECT_EQ(secondary, ExchangeKey().publicKey);  // the paths above did run through
    EXPECT_TRUE(OpenContainerStrict(folder.c_str(), u"pw")) << "the repair did not run through";
    EXPECT_GT(gReleased, 500u);
    EXPECT_EQ(gNotWiped, 0u) << "of " << gReleased << " released buffers";
}

}  // namespace
}  // namespace keymend::test
