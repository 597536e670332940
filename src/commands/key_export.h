// -kvtop12: the keys of a container written out as PKCS#12 files, one file per key.
#pragma once

#include <cstdint>
#include <string>

namespace keymend {

// The file a key goes to: "signature.pfx" or "exchange.pfx", and for the second key of a
// purpose already taken "signature-2.pfx" / "exchange-2.pfx".
std::string KeyExportFileName(bool exchange, uint32_t sameBefore);

}  // namespace keymend
