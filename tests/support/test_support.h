// Shared helpers for the test suite: hex, files, temporary folders, running the built binary,
// the known-answer vector loader and the OpenSSL oracle.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace keymend::test {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex);  // fails the test on malformed hex
std::string ToHex(const uint8_t* p, size_t n);
inline std::string ToHex(const Bytes& b) {
    return ToHex(b.data(), b.size());
}

// A DER element (short or long length form), and concatenation of byte strings.
Bytes Tlv(uint8_t identifier, const Bytes& content);
Bytes Cat(std::initializer_list<Bytes> parts);

std::string DataPath(const std::string& relative);  // under tests/data
Bytes ReadFileBytes(const std::string& path);       // empty when missing
bool WriteFileBytes(const std::string& path, const Bytes& data);
bool FileExists(const std::string& path);

// A fresh folder under the system temporary directory, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Exit code (-1 when killed by a signal), the signal, and the captured stdout and stderr.
struct RunResult {
    int exitCode = -1;
    int signal = 0;
    std::string out, err;
};

// The built keymend with these arguments (no shell) in a clean locale plus `env` (NAME=VALUE).
RunResult RunKeymend(const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {"LANG=C"});
// The same with `input` as standard input (a pipe that ends after it).
RunResult RunKeymendWithInput(const std::vector<std::string>& args, const std::string& input,
                              const std::vector<std::string>& env = {"LANG=C"});
RunResult RunShell(const std::string& commandLine);

// Vector files: "[Section]" headers, "Key = value" lines, '#' comments, records separated by
// blank lines; each record carries its section. A malformed line or unknown key fails the test.
struct VectorRecord {
    std::string section;
    std::map<std::string, std::string> fields;
    const std::string& Get(const std::string& key) const;  // fails the test when absent
    bool Has(const std::string& key) const { return fields.count(key) != 0; }
    Bytes Hex(const std::string& key) const { return FromHex(Get(key)); }
};
std::vector<VectorRecord> LoadVectors(const std::string& relativePath,
                                      const std::vector<std::string>& allowedKeys);
std::vector<VectorRecord> LoadVectorFile(const std::string& path,  // anywhere, e.g. a TempDir
                                         const std::vector<std::string>& allowedKeys);

bool OpenSslGostAvailable();  // `openssl` loads the GOST engine and hashes correctly

// Runs `body` on the portable code (no processor feature allowed), then with every feature the
// processor has, naming the pass in failure messages; the features are all allowed again after.
void OnEachCpuPath(const std::function<void()>& body);

}  // namespace keymend::test
