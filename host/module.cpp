// Module bookkeeping, the class factory and the four entry points. The module path comes from
// the loader's record of the object file that holds this code: the shared library when the code
// was loaded as one, the executable when it was linked in.
#include "host/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include "host/identity.h"
#include "host/quorlina_object.h"
#include "host/registration.h"

namespace host {

using namespace platform;

namespace {

std::atomic<long> g_live_objects{0};
std::atomic<long> g_server_locks{0};

class ClassFactory final : public SingleInterfaceObject<IClassFactory, IID_IClassFactory> {
  public:
    ClassFactory() { ModuleObjectCreated(); }

    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        QuorlinaObject* created = QuorlinaObject::Create();
        const HRESULT hr = created->QueryInterface(iid, object);
        created->Release();  // on failure this was the only reference
        return hr;
    }

    HRESULT LockServer(BOOL lock) override {
        if (lock)
            ++g_server_locks;
        else if (g_server_locks.load() > 0)
            --g_server_locks;
        return S_OK;
    }

  private:
    ~ClassFactory() { ModuleObjectDestroyed(); }
};

// The executable's own path, for code linked into it (the loader names the main program "").
std::string ExecutablePath() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return buf;
}

}  // namespace

void ModuleObjectCreated() {
    ++g_live_objects;
}
void ModuleObjectDestroyed() {
    --g_live_objects;
}
long ModuleLiveObjects() {
    return g_live_objects.load();
}

std::string ModulePath() {
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&DllGetClassObject), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) == 0 ||
        map == nullptr)
        return ExecutablePath();
    if (map->l_name == nullptr || map->l_name[0] == '\0') return ExecutablePath();
    char resolved[PATH_MAX];
    if (realpath(map->l_name, resolved) == nullptr) return map->l_name;
    return resolved;
}

}  // namespace host

using namespace platform;

extern "C" {

HRESULT DllRegisterServer() {
    const std::string path = host::ModulePath();
    if (path.empty()) return SELFREG_E_CLASS;
    host::RegisterControl(path);
    return S_OK;
}

HRESULT DllUnregisterServer() {
    host::UnregisterControl();
    return S_OK;
}

HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(clsid == host::kClsidQuorlina)) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new host::ClassFactory();
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

HRESULT DllCanUnloadNow() {
    return host::g_live_objects.load() == 0 && host::g_server_locks.load() == 0 ? S_OK : S_FALSE;
}
}
