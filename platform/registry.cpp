// In-process registry store: a map from (root, lower-cased key path) to its values, behind one
// lock. Key and value names compare case-insensitively, as the desktop registry does. The hard part
// of the file is never leaving a half-written one: it is written beside the target and renamed over
// it, and a file that does not read whole changes nothing.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

namespace platform {
namespace {

std::string Lower(const std::string& s) {
    std::string r = s;
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

struct Key {
    std::string path;                             // as first written
    std::map<std::string, RegistryValue> values;  // by lower-cased name
};

using KeyMap = std::map<std::pair<int, std::string>, Key>;  // (root, lower-cased path)

struct Store {
    std::mutex lock;
    bool environment_read = false;
    std::map<std::string, RegistryValue> environment;  // the proxy, shown under Internet Settings
    KeyMap keys;
};

Store& TheStore() {
    static Store store;
    return store;
}

Key& CreateIn(KeyMap& keys, RegistryRoot root, const std::string& path) {
    auto k = std::make_pair(static_cast<int>(root), Lower(path));
    auto it = keys.find(k);
    if (it == keys.end()) {
        it = keys.emplace(k, Key{path, {}}).first;
        // Parents exist implicitly; create them so that snapshots show the tree.
        auto pos = path.rfind('\\');
        if (pos != std::string::npos && pos > 0) CreateIn(keys, root, path.substr(0, pos));
    }
    return it->second;
}

// "http://proxy.example:3128/" -> "proxy.example:3128"; the store keeps host:port as the
// desktop settings do.
std::string ProxyServerFromUrl(const char* url) {
    std::string s = url;
    auto scheme = s.find("://");
    if (scheme != std::string::npos) s = s.substr(scheme + 3);
    auto at = s.rfind('@');
    if (at != std::string::npos) s = s.substr(at + 1);
    auto slash = s.find('/');
    if (slash != std::string::npos) s = s.substr(0, slash);
    return s;
}

void ReadEnvironmentLocked(Store& s) {
    s.environment_read = true;
    s.environment.clear();
    const char* proxy = std::getenv("http_proxy");
    if (proxy == nullptr || *proxy == '\0') proxy = std::getenv("HTTP_PROXY");
    if (proxy == nullptr || *proxy == '\0') return;
    std::string server = ProxyServerFromUrl(proxy);
    if (server.empty()) return;
    s.environment["proxyenable"] = RegistryValue{"ProxyEnable", true, 1, {}};
    s.environment["proxyserver"] = RegistryValue{"ProxyServer", false, 0, server};
}

// The store, locked by the caller, with the environment read once.
Store& Ready(Store& s) {
    if (!s.environment_read) ReadEnvironmentLocked(s);
    return s;
}

bool IsInternetSettings(RegistryRoot root, const std::string& key) {
    return root == RegistryRoot::CurrentUser && Lower(key) == Lower(kInternetSettingsKey);
}

const RegistryValue* FindLocked(Store& s, RegistryRoot root, const std::string& key,
                                const std::string& name) {
    auto it = s.keys.find({static_cast<int>(root), Lower(key)});
    if (it != s.keys.end()) {
        auto v = it->second.values.find(Lower(name));
        if (v != it->second.values.end()) return &v->second;
    }
    if (IsInternetSettings(root, key)) {
        auto v = s.environment.find(Lower(name));
        if (v != s.environment.end()) return &v->second;
    }
    return nullptr;
}

}  // namespace

bool RegReadDword(RegistryRoot root, const std::string& key, const std::string& name,
                  std::uint32_t& out) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    const RegistryValue* v = FindLocked(Ready(s), root, key, name);
    if (v == nullptr || !v->is_number) return false;
    out = v->number;
    return true;
}

bool RegReadString(RegistryRoot root, const std::string& key, const std::string& name, char* out,
                   std::size_t size) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    const RegistryValue* v = FindLocked(Ready(s), root, key, name);
    if (v == nullptr || v->is_number || size == 0) return false;
    std::size_t n = std::min(size - 1, v->text.size());
    std::memcpy(out, v->text.data(), n);
    out[n] = '\0';
    return true;
}

void RegWriteDword(RegistryRoot root, const std::string& key, const std::string& name,
                   std::uint32_t value) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    CreateIn(s.keys, root, key).values[Lower(name)] = RegistryValue{name, true, value, {}};
}

void RegWriteString(RegistryRoot root, const std::string& key, const std::string& name,
                    const std::string& value) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    CreateIn(s.keys, root, key).values[Lower(name)] = RegistryValue{name, false, 0, value};
}

void RegCreateKey(RegistryRoot root, const std::string& key) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    CreateIn(s.keys, root, key);
}

bool RegDeleteValue(RegistryRoot root, const std::string& key, const std::string& name) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.keys.find({static_cast<int>(root), Lower(key)});
    return it != s.keys.end() && it->second.values.erase(Lower(name)) > 0;
}

bool RegDeleteTree(RegistryRoot root, const std::string& key) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    const std::string lower = Lower(key);
    const std::string prefix = lower + "\\";
    bool found = false;
    for (auto it = s.keys.begin(); it != s.keys.end();) {
        const auto& [r, path] = it->first;
        if (r == static_cast<int>(root) && (path == lower || path.rfind(prefix, 0) == 0)) {
            it = s.keys.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    return found;
}

bool RegKeyExists(RegistryRoot root, const std::string& key) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    Ready(s);
    if (IsInternetSettings(root, key) && !s.environment.empty()) return true;
    return s.keys.count({static_cast<int>(root), Lower(key)}) > 0;
}

void RegResetForTesting(bool seed_from_environment) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    s.keys.clear();
    s.environment.clear();
    if (seed_from_environment)
        ReadEnvironmentLocked(s);
    else
        s.environment_read = true;
}

std::vector<RegistryKey> RegSnapshot(RegistryRoot root) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    std::vector<RegistryKey> out;
    for (const auto& [k, key] : s.keys) {
        if (k.first != static_cast<int>(root)) continue;
        RegistryKey rk{key.path, {}};
        for (const auto& [n, v] : key.values) rk.values.push_back(v);
        out.push_back(std::move(rk));
    }
    return out;
}

// --- the registry file ---
const char* to_string(RegFileResult result) {
    switch (result) {
        case RegFileResult::Ok:
            return "ok";
        case RegFileResult::Missing:
            return "missing";
        case RegFileResult::Damaged:
            return "damaged";
        case RegFileResult::IoError:
            return "input/output error";
    }
    return "?";
}

namespace {

struct RootName {
    RegistryRoot root;
    const char* short_name;
    const char* long_name;
};
constexpr RootName kRootNames[] = {
    {RegistryRoot::ClassesRoot, "HKCR", "HKEY_CLASSES_ROOT"},
    {RegistryRoot::CurrentUser, "HKCU", "HKEY_CURRENT_USER"},
};

constexpr const char* kFileHeader =
    "; Quorlina registry: one key or value a line.\n"
    "; [ROOT\\path] starts a key (HKCR or HKCU); @=\"text\" is its default value;\n"
    "; \"name\"=\"text\" and \"name\"=dword:hex are named values.\n";
constexpr int kMaxDwordDigits = 8;

std::string Escape(const std::string& text) {
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7F) {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

struct LineError {
    std::string message;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a quoted, escaped text starting at line[pos] == '"'; leaves pos after the closing quote.
std::string ReadQuoted(const std::string& line, std::size_t& pos) {
    std::string out;
    ++pos;
    while (pos < line.size()) {
        const char c = line[pos++];
        if (c == '"') return out;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= line.size()) break;
        const char e = line[pos++];
        if (e == '\\' || e == '"') {
            out += e;
        } else if (e == 'x' && pos + 2 <= line.size() && HexValue(line[pos]) >= 0 &&
                   HexValue(line[pos + 1]) >= 0) {
            out += static_cast<char>(HexValue(line[pos]) * 16 + HexValue(line[pos + 1]));
            pos += 2;
        } else {
            throw LineError{"unknown escape \\" + std::string(1, e)};
        }
    }
    throw LineError{"text without its closing quote"};
}

std::string Trim(const std::string& s) {
    const std::size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// "[ROOT\path]" -> root and path.
std::pair<RegistryRoot, std::string> ParseKeyLine(const std::string& line) {
    if (line.back() != ']') throw LineError{"key line without its closing ]"};
    const std::string inner = line.substr(1, line.size() - 2);
    const std::size_t slash = inner.find('\\');
    const std::string root_name = inner.substr(0, slash);
    const RootName* root = nullptr;
    for (const RootName& r : kRootNames)
        if (root_name == r.short_name || root_name == r.long_name) root = &r;
    if (root == nullptr) throw LineError{"unknown root \"" + root_name + "\""};
    if (slash == std::string::npos || slash + 1 == inner.size())
        throw LineError{"key line without a path under the root"};
    const std::string path = inner.substr(slash + 1);
    if (path.back() == '\\' || path.find("\\\\") != std::string::npos)
        throw LineError{"key path with an empty name"};
    return {root->root, path};
}

RegistryValue ParseValueLine(const std::string& line) {
    RegistryValue v;
    std::size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else if (line[0] == '"') {
        v.name = ReadQuoted(line, pos);
    } else {
        throw LineError{"expected [key], @=value or \"name\"=value"};
    }
    if (pos >= line.size() || line[pos] != '=') throw LineError{"expected = after the value name"};
    ++pos;
    if (pos < line.size() && line[pos] == '"') {
        v.text = ReadQuoted(line, pos);
        if (pos != line.size()) throw LineError{"characters after the closing quote"};
        return v;
    }
    const std::string rest = line.substr(pos);
    if (rest.rfind("dword:", 0) != 0) throw LineError{"expected a \"text\" or dword:hex value"};
    const std::string digits = rest.substr(6);
    if (digits.empty() || digits.size() > kMaxDwordDigits)
        throw LineError{"dword value needs 1 to 8 hexadecimal digits"};
    std::uint32_t n = 0;
    for (char c : digits) {
        const int d = HexValue(c);
        if (d < 0) throw LineError{"dword value needs 1 to 8 hexadecimal digits"};
        n = n << 4 | static_cast<std::uint32_t>(d);
    }
    v.is_number = true;
    v.number = n;
    return v;
}

// Parses the whole text into keys; throws LineError with the line number in front.
KeyMap ParseFile(std::istream& in) {
    KeyMap keys;
    Key* current = nullptr;
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        try {
            const std::string line = Trim(raw);
            if (line.empty() || line[0] == ';' || line[0] == '#') continue;
            if (line[0] == '[') {
                const auto [root, path] = ParseKeyLine(line);
                current = &CreateIn(keys, root, path);
                continue;
            }
            RegistryValue v = ParseValueLine(line);
            if (current == nullptr) throw LineError{"value before any [key] line"};
            current->values[Lower(v.name)] = std::move(v);
        } catch (const LineError& e) {
            throw LineError{"line " + std::to_string(number) + ": " + e.message};
        }
    }
    return keys;
}

bool HasChildren(const KeyMap& keys, const KeyMap::key_type& k) {
    auto it = keys.lower_bound({k.first, k.second + "\\"});
    return it != keys.end() && it->first.first == k.first &&
           it->first.second.rfind(k.second + "\\", 0) == 0;
}

// Orders paths component by component, so that a key's subkeys follow it directly.
std::string TreeOrder(const std::string& lower_path) {
    std::string s = lower_path;
    for (char& c : s)
        if (c == '\\') c = '\x01';
    return s;
}

std::string FormatFile(const KeyMap& keys) {
    std::vector<std::pair<std::string, KeyMap::const_iterator>> ordered;
    for (auto it = keys.begin(); it != keys.end(); ++it)
        ordered.emplace_back(TreeOrder(it->first.second), it);
    std::sort(ordered.begin(), ordered.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string out = kFileHeader;
    for (const RootName& r : kRootNames) {
        for (const auto& entry : ordered) {
            const auto& [k, key] = *entry.second;
            if (k.first != static_cast<int>(r.root)) continue;
            if (key.values.empty() && HasChildren(keys, k)) continue;
            out += "\n[" + std::string(r.short_name) + "\\" + key.path + "]\n";
            for (const auto& [n, v] : key.values) {
                out += v.name.empty() ? std::string("@") : "\"" + Escape(v.name) + "\"";
                if (v.is_number) {
                    char buf[24];
                    std::snprintf(buf, sizeof buf, "=dword:%08X\n", v.number);
                    out += buf;
                } else {
                    out += "=\"" + Escape(v.text) + "\"\n";
                }
            }
        }
    }
    return out;
}

std::string Describe(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

constexpr mode_t kNewFileMode = 0644;

}  // namespace

RegFileResult RegLoadFile(const std::string& path, std::string* error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return RegFileResult::Missing;
        if (error) *error = Describe("cannot read", path);
        return RegFileResult::IoError;
    }
    if (!S_ISREG(info.st_mode)) {
        if (error) *error = "cannot read " + path + ": not a regular file";
        return RegFileResult::IoError;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = Describe("cannot read", path);
        return RegFileResult::IoError;
    }
    KeyMap keys;
    try {
        keys = ParseFile(in);
    } catch (const LineError& e) {
        if (error) *error = e.message;
        return RegFileResult::Damaged;
    }
    if (in.bad()) {
        if (error) *error = "cannot read " + path;
        return RegFileResult::IoError;
    }
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    s.keys = std::move(keys);
    return RegFileResult::Ok;
}

RegFileResult RegSaveFile(const std::string& path, std::string* error) {
    std::string text;
    {
        Store& s = TheStore();
        std::lock_guard<std::mutex> guard(s.lock);
        text = FormatFile(s.keys);
    }
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        if (error) *error = Describe("cannot create a new file beside", path);
        return RegFileResult::IoError;
    }
    struct stat old {};
    const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 0777) : kNewFileMode;
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    std::string failure = ok ? std::string() : Describe("cannot write", temp);
    if (::close(fd) != 0 && ok) {
        ok = false;
        failure = Describe("cannot write", temp);
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        failure = Describe("cannot replace", path);
    }
    if (!ok) {
        ::unlink(temp.c_str());
        if (error) *error = failure;
        return RegFileResult::IoError;
    }
    return RegFileResult::Ok;
}

std::string RegDefaultFilePath() {
    constexpr const char* kRelative = "quorlina/registry.txt";
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') return std::string(data) + "/" + kRelative;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/share/" + kRelative;
    return {};
}

}  // namespace platform
