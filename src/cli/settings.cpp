#include "cli/settings.h"

#include "crypto/context/secure_blob.h"

namespace keymend {

Settings::~Settings() {
    SecureWipe(containerPassword, sizeof containerPassword);
    SecureWipe(p12Password, sizeof p12Password);
}

}  // namespace keymend
