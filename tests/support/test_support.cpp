#include "support/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "crypto/context/cpu_features.h"

namespace keymend::test {

namespace {

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// Runs argv[0] without a shell, stdout and stderr captured. `env` holds NAME=VALUE settings for
// the child; with `cleanLocale` the locale variables are removed first. With `input`, standard
// input is a pipe that delivers it and then ends.
RunResult Run(std::vector<std::string> argv, const std::vector<std::string>& env, bool cleanLocale,
              const std::string* input = nullptr) {
    int out[2], err[2], in[2] = {-1, -1};
    if (pipe(out) != 0) return {};
    if (pipe(err) != 0 || (input != nullptr && pipe(in) != 0)) {
        for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (input != nullptr) {
            dup2(in[0], 0);
            close(in[0]);
            close(in[1]);
        }
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
        if (cleanLocale) {
            for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG", "LANGUAGE"}) unsetenv(name);
        }
        for (const auto& e : env) {
            if (e.find('=') != std::string::npos) putenv(const_cast<char*>(e.c_str()));
        }
        // A command that spins is stopped (SIGXCPU) rather than holding up the suite.
        const rlimit cpu{60, 60};
        setrlimit(RLIMIT_CPU, &cpu);
        std::vector<char*> pointers;
        for (auto& a : argv) pointers.push_back(a.data());
        pointers.push_back(nullptr);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (input != nullptr) {
        // A child that ends without reading all of it must not take this process down.
        signal(SIGPIPE, SIG_IGN);
        close(in[0]);
        (void)!write(in[1], input->data(), input->size());
        close(in[1]);
    }
    RunResult r;
    // Both pipes at once, so that neither fills up and blocks the child.
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* text[2] = {&r.out, &r.err};
    for (int open = 2; open > 0;) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                text[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

}  // namespace

Bytes FromHex(const std::string& hex) {
    Bytes out(hex.size() / 2);
    bool ok = hex.size() % 2 == 0;
    for (size_t i = 0; ok && i < out.size(); ++i) {
        const char* p = hex.data() + 2 * i;
        ok = std::from_chars(p, p + 2, out[i], 16).ptr == p + 2;
    }
    if (!ok) ADD_FAILURE() << "malformed hex: " << hex;
    return ok ? out : Bytes{};
}

std::string ToHex(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += "0123456789abcdef"[p[i] >> 4];
        s += "0123456789abcdef"[p[i] & 15];
    }
    return s;
}

Bytes Tlv(uint8_t identifier, const Bytes& content) {
    const size_t n = content.size();
    Bytes out;
    out.reserve(6 + n);
    out.push_back(identifier);
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else {
        uint8_t octets = 1;
        while (octets < 4 && (n >> (8 * octets)) != 0) ++octets;
        out.push_back(static_cast<uint8_t>(0x80 | octets));
        while (octets-- > 0) out.push_back(static_cast<uint8_t>(n >> (8 * octets)));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string DataPath(const std::string& relative) {
    return std::string(KEYMEND_TEST_DATA_DIR) + "/" + relative;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

bool FileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

TempDir::TempDir() {
    path_ = (std::filesystem::temp_directory_path() / "keymend-test-XXXXXX").string();
    if (mkdtemp(path_.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
}

TempDir::~TempDir() {
    std::error_code ec;
    // Restore permissions that a test may have removed, so everything can be deleted.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
}

RunResult RunKeymend(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> argv{KEYMEND_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, env, true);
}

RunResult RunKeymendWithInput(const std::vector<std::string>& args, const std::string& input,
                              const std::vector<std::string>& env) {
    std::vector<std::string> argv{KEYMEND_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv, env, true, &input);
}

RunResult RunShell(const std::string& commandLine) {
    return Run({"/bin/sh", "-c", commandLine}, {}, false);
}

const std::string& VectorRecord::Get(const std::string& key) const {
    static const std::string empty;
    auto it = fields.find(key);
    if (it != fields.end()) return it->second;
    ADD_FAILURE() << "vector in [" << section << "] lacks " << key;
    return empty;
}

std::vector<VectorRecord> LoadVectors(const std::string& relativePath,
                                      const std::vector<std::string>& allowedKeys) {
    return LoadVectorFile(DataPath(relativePath), allowedKeys);
}

std::vector<VectorRecord> LoadVectorFile(const std::string& path,
                                         const std::vector<std::string>& allowedKeys) {
    std::vector<VectorRecord> out;
    std::ifstream in(path);
    if (!in) ADD_FAILURE() << "cannot open vector file " << path;
    VectorRecord current;
    auto flush = [&] {
        if (!current.fields.empty()) out.push_back(current);
        current.fields.clear();
    };
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
        const std::string t = Trim(line);
        const std::string where = path + ":" + std::to_string(lineNo) + ": ";
        if (t.empty() || t[0] == '#') {
            if (t.empty()) flush();
        } else if (t[0] == '[') {
            if (t.back() != ']') ADD_FAILURE() << where << "bad section";
            flush();
            current.section = t.substr(1, t.size() - 2);
        } else if (const size_t eq = t.find('='); eq == std::string::npos) {
            ADD_FAILURE() << where << "no '='";
        } else {
            const std::string key = Trim(t.substr(0, eq));
            if (std::find(allowedKeys.begin(), allowedKeys.end(), key) == allowedKeys.end())
                ADD_FAILURE() << where << "unknown key " << key;
            if (current.fields.count(key) != 0) ADD_FAILURE() << where << "repeated key " << key;
            current.fields[key] = Trim(t.substr(eq + 1));
        }
    }
    flush();
    if (out.empty()) ADD_FAILURE() << path << ": no vectors";
    return out;
}

Bytes RepeatedMessage(const VectorRecord& v) {
    Bytes unit = v.Hex("Msg"), msg;
    const size_t repeat = v.Has("Repeat") ? std::stoul(v.Get("Repeat")) : 1;
    for (size_t i = 0; i < repeat; ++i) msg.insert(msg.end(), unit.begin(), unit.end());
    return msg;
}

bool OpenSslGostAvailable() {
    static const bool available = [] {
        const RunResult r = RunShell("printf abc | openssl dgst -engine gost -md_gost12_256");
        return r.exitCode == 0 && r.out.find("4e2919cf137ed41e") != std::string::npos;
    }();
    return available;
}

void OnEachCpuPath(const std::function<void()>& body) {
    struct Restore {
        ~Restore() { LimitCpuFeatures(~0u); }
    } restore;
    for (uint32_t allowed : {0u, ~0u}) {
        LimitCpuFeatures(allowed);
        SCOPED_TRACE(allowed == 0 ? "portable code" : "all processor features");
        body();
    }
}

}  // namespace keymend::test
