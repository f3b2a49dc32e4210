// The control as a component: the interfaces QueryInterface answers and refuses, reference counts
// down to the control's destruction, the class factory and module bookkeeping, object safety,
// the extent's persistence, and libquorlina.so's exports.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/quorlina.h"
#include "host/identity.h"
#include "host/module.h"
#include "host/quorlina_object.h"
#include "platform/memory_storage.h"
#include "support/client_site_stub.h"
#include "support/dispatch_client.h"

using namespace platform;
using namespace test_support;

namespace {

IID Iid(const char* text) {
    IID iid;
    EXPECT_TRUE(ParseGuid(text, &iid)) << text;
    return iid;
}

// Interfaces a container may ask for that the control does not answer.
std::vector<IID> RefusedInterfaces() {
    return {
        Iid("{0000010C-0000-0000-C000-000000000046}"),  // IPersist
        Iid("{00000109-0000-0000-C000-000000000046}"),  // IPersistStream
        Iid("{37D84F60-42CB-11CE-8135-00AA004BB851}"),  // IPersistPropertyBag
        Iid("{B196B28B-BAB4-101A-B69C-00AA00341D07}"),  // ISpecifyPropertyPages
        Iid("{B196B284-BAB4-101A-B69C-00AA00341D07}"),  // IConnectionPointContainer
        Iid("{00000122-0000-0000-C000-000000000046}"),  // IDropTarget
        IID_IClassFactory,
        IID_IStream,
        IID_ITypeInfo,
        IID_IPropertyNotifySink,
        Iid("{12345678-9ABC-DEF0-1234-56789ABCDEF0}"),
    };
}

IUnknown* UnknownOf(void* interface_pointer) {
    return static_cast<IUnknown*>(interface_pointer);
}

template <typename T>
T* Query(IUnknown* object, const IID& iid) {
    void* p = nullptr;
    return object->QueryInterface(iid, &p) == S_OK ? static_cast<T*>(p) : nullptr;
}

}  // namespace

TEST(Component, AnswersTheListedInterfacesInOrderWithOneIdentity) {
    const IID expected[] = {
        host::kIidIQuorlinaLite, IID_IDispatch,          IID_IViewObjectEx,
        IID_IViewObject2,        IID_IViewObject,        IID_IOleInPlaceObjectWindowless,
        IID_IOleInPlaceObject,   IID_IOleWindow,         IID_IOleInPlaceActiveObject,
        IID_IOleControl,         IID_IOleObject,         IID_IQuickActivate,
        IID_IPersistStorage,     IID_IPersistStreamInit, IID_IDataObject,
        IID_IProvideClassInfo,   IID_IProvideClassInfo2, IID_IObjectSafety,
    };
    const auto answered = host::AnsweredInterfaces();
    ASSERT_EQ(answered.size(), std::size(expected));
    for (std::size_t i = 0; i < answered.size(); ++i) {
        SCOPED_TRACE(FormatGuid(expected[i]));
        EXPECT_EQ(answered[i], expected[i]);
    }
    EXPECT_EQ(FormatGuid(host::kIidIQuorlinaLite), "{3E7A19C4-52D8-4B6F-8E21-C7A9D04F5B36}");

    Released<IDispatch> control(CreateControl());
    ASSERT_NE(control.p, nullptr);
    Released<IUnknown> identity(Query<IUnknown>(control.p, IID_IUnknown));
    ASSERT_NE(identity.p, nullptr);
    Released<IUnknown> first(Query<IUnknown>(control.p, host::kIidIQuorlinaLite));
    EXPECT_EQ(identity.p, first.p) << "IUnknown is served by the first interface";
    for (const IID& iid : expected) {
        SCOPED_TRACE(FormatGuid(iid));
        void* p = nullptr;
        ASSERT_EQ(control->QueryInterface(iid, &p), S_OK);
        ASSERT_NE(p, nullptr);
        Released<IUnknown> back(Query<IUnknown>(UnknownOf(p), IID_IUnknown));
        EXPECT_EQ(back.p, identity.p);
        UnknownOf(p)->Release();
    }
    for (const IID& iid : RefusedInterfaces()) {
        SCOPED_TRACE(FormatGuid(iid));
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(control->QueryInterface(iid, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
    }
    EXPECT_EQ(control->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST(Component, LastReleaseDestroysTheControlAndFreesTheModule) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    IDispatch* control = CreateControl();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    control::CQuorlina& inner = host::QuorlinaObject::FromUnknown(control)->Control();
    inner.AddRef();  // watch the control outlive the component
    inner.PlayState = control::Playing;
    const ULONG base = control->AddRef() - 1;
    EXPECT_EQ(base, 1u);
    IObjectSafety* safety = Query<IObjectSafety>(control, IID_IObjectSafety);
    EXPECT_EQ(control->AddRef(), 4u);
    EXPECT_EQ(control->Release(), 3u);
    EXPECT_EQ(safety->Release(), 2u);
    EXPECT_EQ(control->Release(), 1u);
    EXPECT_EQ(control->Release(), 0u);

    // The destruction steps ran and dropped the component's reference: only ours is left.
    EXPECT_EQ(inner.PlayState.load(), control::StopRequested);
    EXPECT_EQ(inner.RefCount(), 1u);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    inner.Release();
}

TEST(Component, ClassFactoryCreatesRefusesAggregationAndLocksTheServer) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(IID_IDispatch, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(DllGetClassObject(host::kClsidQuorlina, IID_IStream, &p), E_NOINTERFACE);
    EXPECT_EQ(DllGetClassObject(host::kClsidQuorlina, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);

    ASSERT_EQ(DllGetClassObject(host::kClsidQuorlina, IID_IUnknown, &p), S_OK);
    Released<IClassFactory> factory(Query<IClassFactory>(UnknownOf(p), IID_IClassFactory));
    UnknownOf(p)->Release();
    ASSERT_NE(factory.p, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a factory held keeps the module";

    Released<IDispatch> outer(CreateControl());
    void* made = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(outer.p, IID_IUnknown, &made), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(made, nullptr);
    const long live = host::ModuleLiveObjects();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &made), E_NOINTERFACE);
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(host::ModuleLiveObjects(), live) << "a refused instance is not left alive";
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IObjectSafety, &made), S_OK);
    UnknownOf(made)->Release();
    EXPECT_EQ(host::ModuleLiveObjects(), live);

    EXPECT_EQ(factory->LockServer(1), S_OK);
    outer.p->Release();
    outer.p = nullptr;
    factory.p->Release();
    factory.p = nullptr;
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "a lock keeps the module";
    ASSERT_EQ(DllGetClassObject(host::kClsidQuorlina, IID_IClassFactory, &p), S_OK);
    static_cast<IClassFactory*>(p)->LockServer(0);
    static_cast<IClassFactory*>(p)->LockServer(0);  // one unlock too many changes nothing
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    static_cast<IClassFactory*>(p)->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(Component, TypeInformationKeepsTheModuleWhileHeld) {
    Released<IDispatch> control(CreateControl());
    ITypeInfo* info = nullptr;
    ASSERT_EQ(control->GetTypeInfo(0, kLocaleEnglishUs, &info), S_OK);
    control.p->Release();
    control.p = nullptr;
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    info->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(Component, ObjectSafetyReportsAndSetsOptions) {
    Released<IDispatch> control(CreateControl());
    Released<IObjectSafety> safety(Query<IObjectSafety>(control.p, IID_IObjectSafety));
    ASSERT_NE(safety.p, nullptr);
    std::vector<IID> answered(host::AnsweredInterfaces().begin(), host::AnsweredInterfaces().end());
    answered.push_back(IID_IUnknown);
    for (const IID& iid : answered) {
        SCOPED_TRACE(FormatGuid(iid));
        DWORD supported = 99, enabled = 99;
        EXPECT_EQ(safety->GetInterfaceSafetyOptions(iid, &supported, &enabled), S_OK);
        EXPECT_EQ(supported, 3u);
        EXPECT_EQ(enabled, 0u);
    }
    for (const IID& iid : RefusedInterfaces()) {
        SCOPED_TRACE(FormatGuid(iid));
        DWORD supported = 99, enabled = 99;
        EXPECT_EQ(safety->GetInterfaceSafetyOptions(iid, &supported, &enabled), E_NOINTERFACE);
        EXPECT_EQ(supported, 0u);
        EXPECT_EQ(enabled, 0u);
        EXPECT_EQ(safety->SetInterfaceSafetyOptions(iid, 1, 1), E_NOINTERFACE);
    }
    DWORD supported = 0, enabled = 0;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4), E_FAIL);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 0x80000001, 1), E_FAIL);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, 0u) << "a refused mask changes nothing";

    // The enabled options become (current AND NOT enabled) OR mask; one word for every interface.
    struct Step {
        DWORD mask, enabled_argument, after;
    };
    const Step steps[] = {
        {1, 1, 1},  // enable "safe for scripting"
        {2, 2, 3},  // and "safe for initialisation"
        {1, 0, 3},  // mask 1 with nothing enabled still ORs the mask in
        {0, 1, 2},  // an empty mask clears what the enabled argument names
        {0, 3, 0}, {3, 0, 3},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE("mask " + std::to_string(step.mask) + " enabled " +
                     std::to_string(step.enabled_argument));
        EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IPersistStreamInit, step.mask,
                                                    step.enabled_argument),
                  S_OK);
        EXPECT_EQ(safety->GetInterfaceSafetyOptions(host::kIidIQuorlinaLite, &supported, &enabled),
                  S_OK);
        EXPECT_EQ(enabled, step.after);
    }
}

namespace {

struct Persisting {
    Released<IDispatch> control{CreateControl()};
    Released<IOleObject> ole{Query<IOleObject>(control.p, IID_IOleObject)};
    Released<IPersistStreamInit> stream_init{
        Query<IPersistStreamInit>(control.p, IID_IPersistStreamInit)};
    Released<IPersistStorage> storage{Query<IPersistStorage>(control.p, IID_IPersistStorage)};

    SIZEL Extent() {
        SIZEL size;
        EXPECT_EQ(ole->GetExtent(DVASPECT_CONTENT, &size), S_OK);
        return size;
    }
};

std::vector<std::uint8_t> Contents(IStream* stream) {
    std::vector<std::uint8_t> bytes(256);
    stream->Seek(0, STREAM_SEEK_SET, nullptr);
    ULONG read = 0;
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    bytes.resize(read);
    return bytes;
}

IStream* StreamOf(const std::vector<std::uint8_t>& bytes) {
    IStream* stream = CreateMemoryStream();
    stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    stream->Seek(0, STREAM_SEEK_SET, nullptr);
    return stream;
}

}  // namespace

TEST(Persistence, ExtentRoundTripsThroughAStream) {
    Persisting a;
    EXPECT_EQ(a.Extent().cx, 5080);
    EXPECT_EQ(a.Extent().cy, 5080);
    EXPECT_EQ(a.stream_init->IsDirty(), S_FALSE);
    SIZEL size{16933, 12700};  // 640 x 480 pixels at 96 pixels per inch
    EXPECT_EQ(a.ole->SetExtent(DVASPECT_CONTENT, &size), S_OK);
    EXPECT_EQ(a.ole->SetExtent(4, &size), DV_E_DVASPECT);
    EXPECT_EQ(a.stream_init->IsDirty(), S_OK);

    Released<IStream> stream(CreateMemoryStream());
    ASSERT_EQ(a.stream_init->Save(stream.p, 1), S_OK);
    EXPECT_EQ(a.stream_init->IsDirty(), S_FALSE);
    const std::vector<std::uint8_t> expected = {
        1, 0,   0,   0,                            // version 1
        2, 0,   0,   0,                            // two properties
        3, '_', 'c', 'x', 0x25, 0x42, 0x00, 0x00,  // "_cx" = 16933
        3, '_', 'c', 'y', 0x9C, 0x31, 0x00, 0x00,  // "_cy" = 12700
    };
    EXPECT_EQ(Contents(stream.p), expected);
    std::uint64_t size_max = 0;
    EXPECT_EQ(a.stream_init->GetSizeMax(&size_max), S_OK);
    EXPECT_EQ(size_max, expected.size());

    Persisting b;
    EXPECT_EQ(b.stream_init->InitNew(), S_OK);
    stream->Seek(0, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(b.stream_init->Load(stream.p), S_OK);
    EXPECT_EQ(b.Extent().cx, 16933);
    EXPECT_EQ(b.Extent().cy, 12700);
    CLSID clsid;
    EXPECT_EQ(b.stream_init->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, host::kClsidQuorlina);
}

TEST(Persistence, ExtentRoundTripsThroughAStorage) {
    Persisting a;
    SIZEL size{1000, 2000};
    a.ole->SetExtent(DVASPECT_CONTENT, &size);
    Released<IStorage> storage(CreateMemoryStorage());
    EXPECT_EQ(a.storage->InitNew(storage.p), S_OK);
    ASSERT_EQ(a.storage->Save(storage.p, 1), S_OK);
    EXPECT_EQ(a.storage->SaveCompleted(storage.p), S_OK);
    EXPECT_EQ(a.storage->IsDirty(), S_FALSE);

    Persisting b;
    ASSERT_EQ(b.storage->Load(storage.p), S_OK);
    EXPECT_EQ(b.Extent().cx, 1000);
    EXPECT_EQ(b.Extent().cy, 2000);

    Released<IStorage> empty(CreateMemoryStorage());
    EXPECT_EQ(b.storage->Load(empty.p), STG_E_FILENOTFOUND);
}

TEST(Persistence, DamagedFormsChangeNothing) {
    struct Row {
        const char* what;
        std::vector<std::uint8_t> bytes;
        HRESULT hr;
    };
    const Row rows[] = {
        {"empty", {}, STG_E_READFAULT},
        {"version 2", {2, 0, 0, 0, 0, 0, 0, 0}, STG_E_INVALIDHEADER},
        {"too many properties", {1, 0, 0, 0, 17, 0, 0, 0}, STG_E_INVALIDHEADER},
        {"empty name", {1, 0, 0, 0, 1, 0, 0, 0, 0}, STG_E_INVALIDHEADER},
        {"name too long", {1, 0, 0, 0, 1, 0, 0, 0, 33}, STG_E_INVALIDHEADER},
        {"cut in a value",
         {1, 0, 0, 0, 2, 0, 0, 0, 3, '_', 'c', 'x', 1, 0, 0, 0, 3, '_', 'c', 'y', 1},
         STG_E_READFAULT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Persisting p;
        Released<IStream> stream(StreamOf(row.bytes));
        EXPECT_EQ(p.stream_init->Load(stream.p), row.hr);
        EXPECT_EQ(p.Extent().cx, 5080);
        EXPECT_EQ(p.Extent().cy, 5080);
    }
    // Unknown names are skipped; a missing one keeps its value.
    Persisting p;
    Released<IStream> stream(StreamOf({1, 0, 0, 0, 2, 0,   0,   0,   4,    'z',  'o', 'o', 'm',
                                       9, 0, 0, 0, 3, '_', 'c', 'y', 0x10, 0x27, 0,   0}));
    EXPECT_EQ(p.stream_init->Load(stream.p), S_OK);
    EXPECT_EQ(p.Extent().cx, 5080);
    EXPECT_EQ(p.Extent().cy, 10000);
}

TEST(Component, WindowAndSiteThroughTheEmbeddingInterfaces) {
    Released<IDispatch> control(CreateControl());
    Released<IOleWindow> window(Query<IOleWindow>(control.p, IID_IOleWindow));
    HWND hwnd = reinterpret_cast<HWND>(1);
    EXPECT_EQ(window->GetWindow(&hwnd), E_FAIL);
    EXPECT_EQ(hwnd, nullptr);
    static char fake;
    host::QuorlinaObject::FromUnknown(control.p)->Control().AttachWindow(
        reinterpret_cast<HWND>(&fake));
    Released<IOleInPlaceObject> in_place(
        Query<IOleInPlaceObject>(control.p, IID_IOleInPlaceObject));
    EXPECT_EQ(in_place->GetWindow(&hwnd), S_OK);
    EXPECT_EQ(hwnd, reinterpret_cast<HWND>(&fake));

    // The control holds the site it is given and lets it go when destroyed.
    struct Site final : testsupport::ClientSiteStub {
        ULONG refs = 1;
        HRESULT QueryInterface(const IID&, void** object) override {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG AddRef() override { return ++refs; }
        ULONG Release() override { return --refs; }
    } site;
    Released<IOleObject> ole(Query<IOleObject>(control.p, IID_IOleObject));
    EXPECT_EQ(ole->SetClientSite(&site), S_OK);
    EXPECT_EQ(site.refs, 2u);
    IOleClientSite* got = nullptr;
    EXPECT_EQ(ole->GetClientSite(&got), S_OK);
    EXPECT_EQ(got, &site);
    got->Release();
    ole.p->Release();
    ole.p = nullptr;
    in_place.p->Release();
    in_place.p = nullptr;
    window.p->Release();
    window.p = nullptr;
    control.p->Release();
    control.p = nullptr;
    EXPECT_EQ(site.refs, 1u);
}

TEST(Component, ContainerMovesAndResizesTheWindowThroughObjectRects) {
    Released<IDispatch> control(CreateControl());
    Released<IOleInPlaceObject> in_place(
        Query<IOleInPlaceObject>(control.p, IID_IOleInPlaceObject));
    const RECT place{10, 5, 110, 85};
    EXPECT_EQ(in_place->SetObjectRects(&place, &place), E_FAIL);  // no window yet
    control::CQuorlina& c = host::QuorlinaObject::FromUnknown(control.p)->Control();
    const HWND screen = CreateScreen(200, 100, 32);
    ASSERT_NE(c.CreateControlWindow(screen, RECT{0, 0, 40, 30}), nullptr);
    EXPECT_EQ(in_place->SetObjectRects(nullptr, &place), E_POINTER);
    EXPECT_EQ(in_place->SetObjectRects(&place, &place), S_OK);
    RECT client;
    ASSERT_TRUE(GetClientRect(c.Window.load(), &client));
    EXPECT_EQ(client.right, 100);
    EXPECT_EQ(client.bottom, 80);
    const RECT empty{10, 10, 10, 40};
    EXPECT_EQ(in_place->SetObjectRects(&empty, &empty), E_INVALIDARG);
    in_place.p->Release();
    in_place.p = nullptr;
    control.p->Release();
    control.p = nullptr;
    DestroyWindow(screen);
}

TEST(ModuleLibrary, ExportsOnlyTheEntryPointsAndServesTheControl) {
    const std::string path = QUORLINA_BIN_DIR "/../lib/libquorlina.so";
    // Kept mapped after dlclose: the library's own statics (the window layer's tables) must stay
    // reachable, or the leak checker reports them as lost once the code is unmapped.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(module, nullptr) << dlerror();
    using GetClassObject = HRESULT (*)(const CLSID&, const IID&, void**);
    using NoArguments = HRESULT (*)();
    auto get_class_object = reinterpret_cast<GetClassObject>(dlsym(module, "DllGetClassObject"));
    auto can_unload = reinterpret_cast<NoArguments>(dlsym(module, "DllCanUnloadNow"));
    ASSERT_NE(get_class_object, nullptr);
    ASSERT_NE(can_unload, nullptr);
    EXPECT_NE(dlsym(module, "DllRegisterServer"), nullptr);
    EXPECT_NE(dlsym(module, "DllUnregisterServer"), nullptr);
    EXPECT_EQ(dlsym(module, "_ZN7control9CQuorlina4PlayEv"), nullptr);
    EXPECT_EQ(dlsym(module, "_ZN4host10ModulePathB5cxx11Ev"), nullptr);
    EXPECT_EQ(dlsym(module,
                    "_ZN8platform9ParseGuidESt17basic_string_viewIcSt11char_traitsIcEEPNS_4GUIDE"),
              nullptr);

    void* factory = nullptr;
    ASSERT_EQ(get_class_object(host::kClsidQuorlina, IID_IClassFactory, &factory), S_OK);
    void* object = nullptr;
    ASSERT_EQ(static_cast<IClassFactory*>(factory)->CreateInstance(nullptr, IID_IDispatch, &object),
              S_OK);
    static_cast<IClassFactory*>(factory)->Release();
    auto* control = static_cast<IDispatch*>(object);
    EXPECT_EQ(GetLong(*control, "PreviewWidth"), 320);
    EXPECT_EQ(PutLong(*control, "PreviewWidth", 640), S_OK);
    EXPECT_EQ(GetLong(*control, "PreviewWidth"), 640);
    EXPECT_EQ(can_unload(), S_FALSE);
    control->Release();
    EXPECT_EQ(can_unload(), S_OK);
    dlclose(module);
}
