#include "commands/certificate_file.h"

#include <vector>

#include "platform/files.h"

namespace keymend {

bool LoadCertificateFile(const char* path, CertificateInfo& out) {
    std::vector<uint8_t> data;
    auto allocate = [](size_t size, void* context) -> uint8_t* {
        auto& buffer = *static_cast<std::vector<uint8_t>*>(context);
        buffer.resize(size);
        return buffer.data();
    };
    // The size is checked before anything is allocated or read.
    if (path == nullptr || !ReadFileBounded(path, kMaxCertificateFileSize, allocate, &data)) {
        ParseCertificateFile(nullptr, 0, out);  // clears it
        return false;
    }
    return ParseCertificateFile(data.data(), data.size(), out);
}

}  // namespace keymend
