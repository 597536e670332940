// Shared helpers for the test suite: hex, files, temporary folders, running the built binary,
// the known-answer vector loader and the OpenSSL oracle.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <numeric>
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

// A record's "Msg" repeated "Repeat" times (once when absent).
Bytes RepeatedMessage(const VectorRecord& v);

// The streaming contract of a hash: misaligned input split at every point (at two for long
// messages), the head fed byte by byte into a state restarted after its previous use, the tail in
// one piece into the state and into a copy of it (the copy goes first: it must share nothing with
// the original), each finished twice.
template <typename State, typename Start, typename Update, typename Finish>
void CheckStreaming(Start start, Update update, Finish finish, const Bytes& msg,
                    const Bytes& want) {
    Bytes shifted(msg.size() + 1), out(want.size());
    std::copy(msg.begin(), msg.end(), shifted.begin() + 1);
    const uint8_t* data = shifted.data() + 1;
    std::vector<size_t> cuts = {33, msg.size() / 2 + 1};
    if (msg.size() <= 300) {
        cuts.resize(msg.size() + 1);
        std::iota(cuts.begin(), cuts.end(), size_t{0});
    }
    State state;
    for (size_t cut : cuts) {
        start(state);
        for (size_t i = 0; i < cut; ++i) ASSERT_TRUE(update(state, data + i, 1));
        State copy = state;
        for (State* s : {&copy, &state}) {
            ASSERT_TRUE(update(*s, data + cut, msg.size() - cut));
            for (int twice = 0; twice < 2; ++twice) {
                ASSERT_TRUE(finish(*s, out.data()));
                ASSERT_EQ(ToHex(out), ToHex(want)) << "split at " << cut;
            }
        }
    }
}

bool OpenSslGostAvailable();  // `openssl` loads the GOST engine and hashes correctly

// Runs `body` on the portable code (no processor feature allowed), then with every feature the
// processor has, naming the pass in failure messages; the features are all allowed again after.
void OnEachCpuPath(const std::function<void()>& body);

}  // namespace keymend::test
