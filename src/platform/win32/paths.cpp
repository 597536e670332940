// Paths on Windows: joined with a backslash; both '\' and '/' separate.
#include "platform/paths.h"

namespace keymend {

namespace {

// Length of the root that must keep its separator: "\" or "/" (1), "C:\" (3); 0 for none.
size_t RootLength(const std::string& path) {
    if (path.size() >= 3 && path[1] == ':' && IsPathSeparator(path[2])) return 3;
    if (!path.empty() && IsPathSeparator(path[0])) return 1;
    return 0;
}

// "C:" alone names the current folder of drive C: a name is appended without a separator.
bool IsBareDrive(const std::string& path) { return path.size() == 2 && path[1] == ':'; }

}  // namespace

char PathSeparator() { return '\\'; }

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

std::string NormalizeFolderPath(const char* folder) {
    if (folder == nullptr) return std::string();
    std::string path(folder);
    const size_t keep = RootLength(path);
    while (path.size() > keep && path.size() > 1 && IsPathSeparator(path.back())) path.pop_back();
    return path;
}

std::string JoinPath(const std::string& folder, const char* name) {
    std::string path = NormalizeFolderPath(folder.c_str());
    const size_t root = RootLength(path);
    const bool endsAtRoot = root != 0 && root == path.size();
    if (!endsAtRoot && !IsBareDrive(path)) path += '\\';
    return path + name;
}

}  // namespace keymend
