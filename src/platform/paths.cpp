#include "platform/paths.h"

namespace keymend {

char PathSeparator() { return '/'; }

bool IsPathSeparator(char c) { return c == '/'; }

std::string NormalizeFolderPath(const char* folder) {
    if (folder == nullptr) return std::string();
    std::string path(folder);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string JoinPath(const std::string& folder, const char* name) {
    std::string path = NormalizeFolderPath(folder.c_str());
    if (path != "/") path += '/';
    return path + name;
}

}  // namespace keymend
