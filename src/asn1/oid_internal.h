// Shared between the OID conversions and the DER writer.
#pragma once

#include <cstdint>

namespace keymend {

// Encodes dotted OID text (the grammar of OidTextToContent) as content octets. With `out` null
// only *length is computed; otherwise `out` holds exactly the measured length.
bool OidEncodeText(const char* text, uint8_t* out, uint32_t* length);

}  // namespace keymend
