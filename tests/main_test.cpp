// Test entry: every test runs inside an initialised crypto context.
#include <gtest/gtest.h>

#include "crypto/context/crypto_context.h"

namespace {

class CryptoContextEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(keymend::CryptoContextInit(1)); }
    void TearDown() override { keymend::CryptoContextRelease(); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new CryptoContextEnvironment);
    return RUN_ALL_TESTS();
}
