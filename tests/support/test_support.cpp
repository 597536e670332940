#include "support/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace keymend::test {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string ReadAllFromFd(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

RunResult WaitFor(pid_t pid, int readFd) {
    RunResult r;
    r.out = ReadAllFromFd(readFd);
    close(readFd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

}  // namespace

Bytes FromHex(const std::string& hex) {
    Bytes out;
    if (hex.size() % 2 != 0) {
        ADD_FAILURE() << "odd-length hex: " << hex;
        return out;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            ADD_FAILURE() << "bad hex: " << hex;
            return {};
        }
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

Bytes Tlv(uint8_t identifier, const Bytes& content) {
    Bytes out{identifier};
    const size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
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
    if (!in) return {};
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "keymend-test-XXXXXX").string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = buf.data();
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
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 2);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        std::string bin = KEYMEND_BINARY;
        argv.push_back(bin.data());
        std::vector<std::string> argCopy = args;
        for (auto& a : argCopy) argv.push_back(a.data());
        argv.push_back(nullptr);
        // A clean locale environment, plus what the test asks for.
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        unsetenv("LANG");
        unsetenv("LANGUAGE");
        for (const auto& e : env) {
            size_t eq = e.find('=');
            if (eq != std::string::npos) setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    return WaitFor(pid, fds[0]);
}

RunResult RunShell(const std::string& commandLine) {
    RunResult r;
    std::string full = commandLine + " 2>/dev/null";
    FILE* p = popen(full.c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int status = pclose(p);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    return r;
}

const std::string& VectorRecord::Get(const std::string& key) const {
    static const std::string empty;
    auto it = fields.find(key);
    if (it == fields.end()) {
        ADD_FAILURE() << "vector in [" << section << "] lacks " << key;
        return empty;
    }
    return it->second;
}

std::vector<VectorRecord> LoadVectors(const std::string& relativePath,
                                      const std::vector<std::string>& allowedKeys) {
    return LoadVectorFile(DataPath(relativePath), allowedKeys);
}

std::vector<VectorRecord> LoadVectorFile(const std::string& relativePath,
                                         const std::vector<std::string>& allowedKeys) {
    std::vector<VectorRecord> out;
    std::ifstream in(relativePath);
    if (!in) {
        ADD_FAILURE() << "cannot open vector file " << relativePath;
        return out;
    }
    std::string section, line;
    VectorRecord current;
    int lineNo = 0;
    auto flush = [&] {
        if (!current.fields.empty()) out.push_back(current);
        current = VectorRecord{};
        current.section = section;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        std::string t = Trim(line);
        if (t.empty()) {
            flush();
            continue;
        }
        if (t[0] == '#') continue;
        if (t.front() == '[') {
            if (t.back() != ']') ADD_FAILURE() << relativePath << ":" << lineNo << ": bad section";
            flush();
            section = t.substr(1, t.size() - 2);
            current.section = section;
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos) {
            ADD_FAILURE() << relativePath << ":" << lineNo << ": no '='";
            continue;
        }
        std::string key = Trim(t.substr(0, eq)), value = Trim(t.substr(eq + 1));
        bool known = false;
        for (const auto& k : allowedKeys) known = known || k == key;
        if (!known) ADD_FAILURE() << relativePath << ":" << lineNo << ": unknown key " << key;
        if (current.fields.count(key) != 0)
            ADD_FAILURE() << relativePath << ":" << lineNo << ": repeated key " << key;
        current.fields[key] = value;
    }
    flush();
    if (out.empty()) ADD_FAILURE() << relativePath << ": no vectors";
    return out;
}

bool OpenSslGostAvailable() {
    static int cached = -1;
    if (cached < 0) {
        RunResult r = RunShell("printf abc | openssl dgst -engine gost -md_gost12_256");
        cached = (r.exitCode == 0 && r.out.find("4e2919cf137ed41e") != std::string::npos) ? 1 : 0;
    }
    return cached == 1;
}

}  // namespace keymend::test
