// In-process registry store: a map from (root, lower-cased key path) to its values, behind one lock.
// Key and value names compare case-insensitively, as the desktop registry does.
#include "platform/registry.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
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
    std::string path;  // as first written
    std::map<std::string, RegistryValue> values;  // by lower-cased name
};

struct Store {
    std::mutex lock;
    bool seeded = false;
    std::map<std::pair<int, std::string>, Key> keys;  // (root, lower-cased path)
};

Store& TheStore() {
    static Store store;
    return store;
}

Key& CreateLocked(Store& s, RegistryRoot root, const std::string& path) {
    auto k = std::make_pair(static_cast<int>(root), Lower(path));
    auto it = s.keys.find(k);
    if (it == s.keys.end()) {
        it = s.keys.emplace(k, Key{path, {}}).first;
        // Parents exist implicitly; create them so that snapshots show the tree.
        auto pos = path.rfind('\\');
        if (pos != std::string::npos && pos > 0) CreateLocked(s, root, path.substr(0, pos));
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

void SeedLocked(Store& s) {
    s.seeded = true;
    const char* proxy = std::getenv("http_proxy");
    if (proxy == nullptr || *proxy == '\0') proxy = std::getenv("HTTP_PROXY");
    if (proxy == nullptr || *proxy == '\0') return;
    std::string server = ProxyServerFromUrl(proxy);
    if (server.empty()) return;
    Key& key = CreateLocked(s, RegistryRoot::CurrentUser, kInternetSettingsKey);
    key.values["proxyenable"] = RegistryValue{"ProxyEnable", true, 1, {}};
    key.values["proxyserver"] = RegistryValue{"ProxyServer", false, 0, server};
}

Store& Seeded() {
    Store& s = TheStore();
    if (!s.seeded) SeedLocked(s);
    return s;
}

const RegistryValue* FindLocked(Store& s, RegistryRoot root, const std::string& key,
                                const std::string& name) {
    auto it = s.keys.find({static_cast<int>(root), Lower(key)});
    if (it == s.keys.end()) return nullptr;
    auto v = it->second.values.find(Lower(name));
    return v == it->second.values.end() ? nullptr : &v->second;
}

}  // namespace

bool RegReadDword(RegistryRoot root, const std::string& key, const std::string& name,
                  std::uint32_t& out) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    Seeded();
    const RegistryValue* v = FindLocked(s, root, key, name);
    if (v == nullptr || !v->is_number) return false;
    out = v->number;
    return true;
}

bool RegReadString(RegistryRoot root, const std::string& key, const std::string& name, char* out,
                   std::size_t size) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    Seeded();
    const RegistryValue* v = FindLocked(s, root, key, name);
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
    Seeded();
    CreateLocked(s, root, key).values[Lower(name)] = RegistryValue{name, true, value, {}};
}

void RegWriteString(RegistryRoot root, const std::string& key, const std::string& name,
                    const std::string& value) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    Seeded();
    CreateLocked(s, root, key).values[Lower(name)] = RegistryValue{name, false, 0, value};
}

void RegCreateKey(RegistryRoot root, const std::string& key) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    Seeded();
    CreateLocked(s, root, key);
}

bool RegDeleteValue(RegistryRoot root, const std::string& key, const std::string& name) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    Seeded();
    auto it = s.keys.find({static_cast<int>(root), Lower(key)});
    return it != s.keys.end() && it->second.values.erase(Lower(name)) > 0;
}

bool RegDeleteTree(RegistryRoot root, const std::string& key) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    Seeded();
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
    Seeded();
    return s.keys.count({static_cast<int>(root), Lower(key)}) > 0;
}

void RegResetForTesting(bool seed_from_environment) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    s.keys.clear();
    s.seeded = false;
    if (seed_from_environment)
        SeedLocked(s);
    else
        s.seeded = true;
}

std::vector<RegistryKey> RegSnapshot(RegistryRoot root) {
    Store& s = TheStore();
    std::lock_guard<std::mutex> guard(s.lock);
    Seeded();
    std::vector<RegistryKey> out;
    for (const auto& [k, key] : s.keys) {
        if (k.first != static_cast<int>(root)) continue;
        RegistryKey rk{key.path, {}};
        for (const auto& [n, v] : key.values) rk.values.push_back(v);
        out.push_back(std::move(rk));
    }
    return out;
}

}  // namespace platform
