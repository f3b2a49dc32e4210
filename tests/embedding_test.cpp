// The control's embedding interfaces from a container's side: every method of every answered
// interface is reached through the pointer QueryInterface hands out and gives its documented
// answer; the client site's ambient properties are read when the site is given and again on an
// ambient change; view-change notices reach the sink set through the view object, as its advise
// flags ask.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/quorlina.h"
#include "host/identity.h"
#include "host/module.h"
#include "host/quorlina_object.h"
#include "support/client_site_stub.h"
#include "support/dispatch_client.h"
#include "support/test_screen.h"

using namespace platform;
using test_support::Released;

namespace {

template <typename T>
T* Query(IUnknown* object, const IID& iid) {
    void* p = nullptr;
    return object->QueryInterface(iid, &p) == S_OK ? static_cast<T*>(p) : nullptr;
}

// One method called through an interface pointer, and the answer it must give.
struct MethodRow {
    const char* method;
    std::function<HRESULT(void* pointer)> call;
    HRESULT expected;
};

template <typename I>
std::function<HRESULT(void*)> Through(std::function<HRESULT(I&)> call) {
    return [call](void* p) { return call(*static_cast<I*>(p)); };
}

struct InterfaceRows {
    const char* name;
    const IID* iid;
    std::vector<MethodRow> rows;
};

std::vector<MethodRow> ViewObjectRows() {
    using V = IViewObject;
    return {
        {"Draw without a context", Through<V>([](V& v) {
             const RECTL bounds{0, 0, 10, 10};
             return v.Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, nullptr, &bounds,
                           nullptr, nullptr, 0);
         }),
         E_INVALIDARG},
        {"Draw of another aspect", Through<V>([](V& v) {
             const RECTL bounds{0, 0, 10, 10};
             return v.Draw(2, -1, nullptr, nullptr, nullptr, nullptr, &bounds, nullptr, nullptr, 0);
         }),
         DV_E_DVASPECT},
        {"GetColorSet", Through<V>([](V& v) {
             return v.GetColorSet(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, nullptr);
         }),
         E_NOTIMPL},
        {"Freeze",
         Through<V>([](V& v) { return v.Freeze(DVASPECT_CONTENT, -1, nullptr, nullptr); }),
         E_NOTIMPL},
        {"Unfreeze", Through<V>([](V& v) { return v.Unfreeze(0); }), E_NOTIMPL},
        {"SetAdvise", Through<V>([](V& v) { return v.SetAdvise(DVASPECT_CONTENT, 0, nullptr); }),
         S_OK},
        {"GetAdvise", Through<V>([](V& v) {
             DWORD aspects = 7, advf = 7;
             IAdviseSink* sink = reinterpret_cast<IAdviseSink*>(1);
             const HRESULT hr = v.GetAdvise(&aspects, &advf, &sink);
             return aspects == 0 && advf == 0 && sink == nullptr ? hr : E_UNEXPECTED;
         }),
         S_OK},
    };
}

std::vector<MethodRow> ViewObject2Rows() {
    using V = IViewObject2;
    std::vector<MethodRow> rows = ViewObjectRows();
    rows.push_back({"GetExtent", Through<V>([](V& v) {
                        SIZEL size;
                        const HRESULT hr = v.GetExtent(DVASPECT_CONTENT, -1, nullptr, &size);
                        return size.cx == 5080 && size.cy == 5080 ? hr : E_UNEXPECTED;
                    }),
                    S_OK});
    return rows;
}

std::vector<MethodRow> ViewObjectExRows() {
    using V = IViewObjectEx;
    std::vector<MethodRow> rows = ViewObject2Rows();
    rows.push_back({"GetRect", Through<V>([](V& v) {
                        RECTL rect{};
                        return v.GetRect(DVASPECT_CONTENT, &rect);
                    }),
                    E_NOTIMPL});
    rows.push_back({"GetViewStatus", Through<V>([](V& v) {
                        DWORD status = 0;
                        return v.GetViewStatus(&status);
                    }),
                    E_NOTIMPL});
    rows.push_back({"QueryHitPoint", Through<V>([](V& v) {
                        const RECT r{0, 0, 4, 4};
                        DWORD hit = 0;
                        return v.QueryHitPoint(DVASPECT_CONTENT, &r, POINT{1, 1}, 0, &hit);
                    }),
                    E_NOTIMPL});
    rows.push_back({"QueryHitRect", Through<V>([](V& v) {
                        const RECT r{0, 0, 4, 4};
                        DWORD hit = 0;
                        return v.QueryHitRect(DVASPECT_CONTENT, &r, &r, 0, &hit);
                    }),
                    E_NOTIMPL});
    rows.push_back({"GetNaturalExtent", Through<V>([](V& v) {
                        SIZEL size;
                        return v.GetNaturalExtent(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr,
                                                  &size);
                    }),
                    E_NOTIMPL});
    return rows;
}

std::vector<MethodRow> OleWindowRows() {
    using W = IOleWindow;
    return {
        {"GetWindow (none yet)", Through<W>([](W& w) {
             HWND window;
             return w.GetWindow(&window);
         }),
         E_FAIL},
        {"ContextSensitiveHelp", Through<W>([](W& w) { return w.ContextSensitiveHelp(1); }),
         E_NOTIMPL},
    };
}

std::vector<MethodRow> InPlaceObjectRows() {
    using P = IOleInPlaceObject;
    std::vector<MethodRow> rows = OleWindowRows();
    rows.push_back(
        {"InPlaceDeactivate", Through<P>([](P& p) { return p.InPlaceDeactivate(); }), S_OK});
    rows.push_back({"UIDeactivate", Through<P>([](P& p) { return p.UIDeactivate(); }), E_NOTIMPL});
    rows.push_back({"SetObjectRects (no window)", Through<P>([](P& p) {
                        const RECT r{0, 0, 4, 4};
                        return p.SetObjectRects(&r, &r);
                    }),
                    E_FAIL});
    rows.push_back(
        {"ReactivateAndUndo", Through<P>([](P& p) { return p.ReactivateAndUndo(); }), E_NOTIMPL});
    return rows;
}

std::vector<MethodRow> WindowlessRows() {
    using P = IOleInPlaceObjectWindowless;
    std::vector<MethodRow> rows = InPlaceObjectRows();
    rows.push_back({"OnWindowMessage", Through<P>([](P& p) {
                        LRESULT result = 0;
                        return p.OnWindowMessage(WM_PAINT, 0, 0, &result);
                    }),
                    E_NOTIMPL});
    rows.push_back(
        {"GetDropTarget", Through<P>([](P& p) { return p.GetDropTarget(nullptr); }), E_NOTIMPL});
    return rows;
}

std::vector<MethodRow> ActiveObjectRows() {
    using A = IOleInPlaceActiveObject;
    std::vector<MethodRow> rows = OleWindowRows();
    rows.push_back({"TranslateAccelerator",
                    Through<A>([](A& a) { return a.TranslateAccelerator(nullptr); }), E_NOTIMPL});
    rows.push_back({"OnFrameWindowActivate",
                    Through<A>([](A& a) { return a.OnFrameWindowActivate(1); }), E_NOTIMPL});
    rows.push_back({"OnDocWindowActivate",
                    Through<A>([](A& a) { return a.OnDocWindowActivate(1); }), E_NOTIMPL});
    rows.push_back({"ResizeBorder", Through<A>([](A& a) {
                        const RECT r{0, 0, 4, 4};
                        return a.ResizeBorder(&r, nullptr, 1);
                    }),
                    E_NOTIMPL});
    rows.push_back(
        {"EnableModeless", Through<A>([](A& a) { return a.EnableModeless(1); }), E_NOTIMPL});
    return rows;
}

std::vector<MethodRow> OleControlRows() {
    using C = IOleControl;
    return {
        {"GetControlInfo", Through<C>([](C& c) { return c.GetControlInfo(nullptr); }), E_NOTIMPL},
        {"OnMnemonic", Through<C>([](C& c) { return c.OnMnemonic(nullptr); }), E_NOTIMPL},
        {"OnAmbientPropertyChange",
         Through<C>([](C& c) { return c.OnAmbientPropertyChange(DISPID_UNKNOWN); }), S_OK},
        {"FreezeEvents", Through<C>([](C& c) { return c.FreezeEvents(1); }), E_NOTIMPL},
    };
}

std::vector<MethodRow> OleObjectRows() {
    using O = IOleObject;
    return {
        {"SetClientSite", Through<O>([](O& o) { return o.SetClientSite(nullptr); }), S_OK},
        {"GetClientSite", Through<O>([](O& o) {
             IOleClientSite* site = reinterpret_cast<IOleClientSite*>(1);
             const HRESULT hr = o.GetClientSite(&site);
             return site == nullptr ? hr : E_UNEXPECTED;
         }),
         S_OK},
        {"SetHostNames", Through<O>([](O& o) { return o.SetHostNames(u"page", u"control"); }),
         E_NOTIMPL},
        {"Close", Through<O>([](O& o) { return o.Close(OLECLOSE_NOSAVE); }), S_OK},
        {"SetMoniker", Through<O>([](O& o) { return o.SetMoniker(0, nullptr); }), E_NOTIMPL},
        {"GetMoniker", Through<O>([](O& o) { return o.GetMoniker(0, 0, nullptr); }), E_NOTIMPL},
        {"InitFromData", Through<O>([](O& o) { return o.InitFromData(nullptr, 1, 0); }), E_NOTIMPL},
        {"GetClipboardData", Through<O>([](O& o) { return o.GetClipboardData(0, nullptr); }),
         E_NOTIMPL},
        {"DoVerb without a place", Through<O>([](O& o) {
             return o.DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, nullptr, nullptr);
         }),
         E_INVALIDARG},
        {"DoVerb of an unknown verb", Through<O>([](O& o) {
             const RECT r{0, 0, 4, 4};
             return o.DoVerb(-99, nullptr, nullptr, 0, nullptr, &r);
         }),
         OLEOBJ_E_INVALIDVERB},
        {"EnumVerbs", Through<O>([](O& o) { return o.EnumVerbs(nullptr); }), E_NOTIMPL},
        {"Update", Through<O>([](O& o) { return o.Update(); }), E_NOTIMPL},
        {"IsUpToDate", Through<O>([](O& o) { return o.IsUpToDate(); }), E_NOTIMPL},
        {"GetUserClassID", Through<O>([](O& o) {
             CLSID clsid;
             const HRESULT hr = o.GetUserClassID(&clsid);
             return clsid == host::kClsidQuorlina ? hr : E_UNEXPECTED;
         }),
         S_OK},
        {"GetUserType", Through<O>([](O& o) { return o.GetUserType(1, nullptr); }), E_NOTIMPL},
        {"SetExtent", Through<O>([](O& o) {
             SIZEL size{5080, 5080};
             return o.SetExtent(DVASPECT_CONTENT, &size);
         }),
         S_OK},
        {"GetExtent", Through<O>([](O& o) {
             SIZEL size;
             return o.GetExtent(DVASPECT_CONTENT, &size);
         }),
         S_OK},
        {"Advise", Through<O>([](O& o) { return o.Advise(nullptr, nullptr); }), E_NOTIMPL},
        {"Unadvise", Through<O>([](O& o) { return o.Unadvise(1); }), E_NOTIMPL},
        {"EnumAdvise", Through<O>([](O& o) { return o.EnumAdvise(nullptr); }), E_NOTIMPL},
        {"GetMiscStatus", Through<O>([](O& o) {
             DWORD status = 0;
             const HRESULT hr = o.GetMiscStatus(DVASPECT_CONTENT, &status);
             return status == 131473 ? hr : E_UNEXPECTED;  // as registered
         }),
         S_OK},
        {"SetColorScheme", Through<O>([](O& o) { return o.SetColorScheme(nullptr); }), E_NOTIMPL},
    };
}

std::vector<MethodRow> QuickActivateRows() {
    using Q = IQuickActivate;
    return {
        {"QuickActivate", Through<Q>([](Q& q) { return q.QuickActivate(nullptr, nullptr); }),
         E_NOTIMPL},
        {"SetContentExtent", Through<Q>([](Q& q) { return q.SetContentExtent(nullptr); }),
         E_NOTIMPL},
        {"GetContentExtent", Through<Q>([](Q& q) { return q.GetContentExtent(nullptr); }),
         E_NOTIMPL},
    };
}

std::vector<MethodRow> DataObjectRows() {
    using D = IDataObject;
    return {
        {"GetData", Through<D>([](D& d) { return d.GetData(nullptr, nullptr); }), E_NOTIMPL},
        {"GetDataHere", Through<D>([](D& d) { return d.GetDataHere(nullptr, nullptr); }),
         E_NOTIMPL},
        {"QueryGetData", Through<D>([](D& d) { return d.QueryGetData(nullptr); }), E_NOTIMPL},
        {"GetCanonicalFormatEtc",
         Through<D>([](D& d) { return d.GetCanonicalFormatEtc(nullptr, nullptr); }), E_NOTIMPL},
        {"SetData", Through<D>([](D& d) { return d.SetData(nullptr, nullptr, 0); }), E_NOTIMPL},
        {"EnumFormatEtc", Through<D>([](D& d) { return d.EnumFormatEtc(1, nullptr); }), E_NOTIMPL},
        {"DAdvise", Through<D>([](D& d) { return d.DAdvise(nullptr, 0, nullptr, nullptr); }),
         E_NOTIMPL},
        {"DUnadvise", Through<D>([](D& d) { return d.DUnadvise(1); }), E_NOTIMPL},
        {"EnumDAdvise", Through<D>([](D& d) { return d.EnumDAdvise(nullptr); }), E_NOTIMPL},
    };
}

std::vector<MethodRow> ClassInfoRows() {
    using P = IProvideClassInfo;
    return {
        {"GetClassInfo", Through<P>([](P& p) {
             ITypeInfo* info = nullptr;
             const HRESULT hr = p.GetClassInfo(&info);
             if (info == nullptr) return E_UNEXPECTED;
             TYPEATTR attr;
             info->GetTypeAttr(&attr);
             info->Release();
             // The one member table: IQuorlinaLite with its 58 functions.
             return attr.guid == host::kIidIQuorlinaLite && attr.cFuncs == 58 ? hr : E_UNEXPECTED;
         }),
         S_OK},
    };
}

std::vector<MethodRow> ClassInfo2Rows() {
    using P = IProvideClassInfo2;
    std::vector<MethodRow> rows = ClassInfoRows();
    rows.push_back({"GetGUID (no event interface)", Through<P>([](P& p) {
                        GUID guid{0x1};
                        const HRESULT hr = p.GetGUID(1, &guid);
                        return guid == IID_NULL ? hr : E_UNEXPECTED;
                    }),
                    E_NOTIMPL});
    return rows;
}

}  // namespace

TEST(EmbeddingInterfaces, EveryMethodAnswersThroughThePointerQueryInterfaceGives) {
    const InterfaceRows interfaces[] = {
        {"IViewObjectEx", &IID_IViewObjectEx, ViewObjectExRows()},
        {"IViewObject2", &IID_IViewObject2, ViewObject2Rows()},
        {"IViewObject", &IID_IViewObject, ViewObjectRows()},
        {"IOleInPlaceObjectWindowless", &IID_IOleInPlaceObjectWindowless, WindowlessRows()},
        {"IOleInPlaceObject", &IID_IOleInPlaceObject, InPlaceObjectRows()},
        {"IOleWindow", &IID_IOleWindow, OleWindowRows()},
        {"IOleInPlaceActiveObject", &IID_IOleInPlaceActiveObject, ActiveObjectRows()},
        {"IOleControl", &IID_IOleControl, OleControlRows()},
        {"IOleObject", &IID_IOleObject, OleObjectRows()},
        {"IQuickActivate", &IID_IQuickActivate, QuickActivateRows()},
        {"IDataObject", &IID_IDataObject, DataObjectRows()},
        {"IProvideClassInfo", &IID_IProvideClassInfo, ClassInfoRows()},
        {"IProvideClassInfo2", &IID_IProvideClassInfo2, ClassInfo2Rows()},
    };
    Released<IDispatch> control(test_support::CreateControl());
    ASSERT_NE(control.p, nullptr);
    int calls = 0;
    for (const InterfaceRows& i : interfaces) {
        SCOPED_TRACE(i.name);
        void* pointer = nullptr;
        ASSERT_EQ(control->QueryInterface(*i.iid, &pointer), S_OK);
        for (const MethodRow& row : i.rows) {
            SCOPED_TRACE(row.method);
            EXPECT_EQ(row.call(pointer), row.expected)
                << HresultName(row.call(pointer)) << " instead of " << HresultName(row.expected);
            ++calls;
        }
        static_cast<IUnknown*>(pointer)->Release();
    }
    EXPECT_GE(calls, 90);
}

namespace {

// A container's site that gives whichever ambient properties it holds, counts its reads, and
// answers nothing else.
class AmbientSite final : public testsupport::ClientSiteStub, public IDispatch {
  public:
    std::optional<bool> user_mode;
    std::optional<LONG> back_color;
    HPALETTE palette = nullptr;
    int reads = 0;
    ULONG refs = 1;

    HRESULT QueryInterface(const IID& iid, void** object) override {
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_IOleClientSite)
            *object = static_cast<IOleClientSite*>(this);
        else if (iid == IID_IDispatch)
            *object = static_cast<IDispatch*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID member, const IID&, LCID, WORD flags, DISPPARAMS*, VARIANT* result,
                   EXCEPINFO*, UINT*) override {
        ++reads;
        if (flags != DISPATCH_PROPERTYGET) return DISP_E_MEMBERNOTFOUND;
        if (member == DISPID_AMBIENT_USERMODE && user_mode) {
            result->vt = VT_BOOL;
            result->boolVal = *user_mode ? VARIANT_TRUE : VARIANT_FALSE;
        } else if (member == DISPID_AMBIENT_BACKCOLOR && back_color) {
            result->vt = VT_I4;
            result->lVal = *back_color;
        } else if (member == DISPID_AMBIENT_PALETTE && palette != nullptr) {
            result->vt = VT_I8;
            result->llVal = reinterpret_cast<std::intptr_t>(palette);
        } else {
            return DISP_E_MEMBERNOTFOUND;
        }
        return S_OK;
    }
};

// A view sink that counts content notices.
class CountingSink final : public IAdviseSink {
  public:
    std::atomic<int> notices{0};
    std::atomic<ULONG> refs{1};
    HRESULT QueryInterface(const IID&, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    void OnDataChange(FORMATETC*, STGMEDIUM*) override {}
    void OnViewChange(DWORD aspect, LONG index) override {
        if (aspect == DVASPECT_CONTENT && index == -1) ++notices;
    }
    void OnRename(IMoniker*) override {}
    void OnSave() override {}
    void OnClose() override {}
};

control::CQuorlina& RecordOf(IUnknown* control) {
    return host::QuorlinaObject::FromUnknown(control)->Control();
}

}  // namespace

TEST(EmbeddingInterfaces, AmbientsAreReadWhenTheSiteComesAndOnEachChange) {
    AmbientSite site;  // outlives the control that holds it
    Released<IDispatch> control(test_support::CreateControl());
    Released<IOleObject> ole(Query<IOleObject>(control.p, IID_IOleObject));
    Released<IOleControl> ole_control(Query<IOleControl>(control.p, IID_IOleControl));
    Released<IViewObject> view(Query<IViewObject>(control.p, IID_IViewObject));
    testsupport::TestWindow target(32, 60, 30);
    const HDC dc = GetDC(target.window());
    const RECTL bounds{0, 0, 60, 30};
    auto draw = [&] {
        ASSERT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr,
                             nullptr, 0),
                  S_OK);
    };

    site.user_mode = true;
    site.back_color = 0x00336699;  // 0x00BBGGRR
    ASSERT_EQ(ole->SetClientSite(&site), S_OK);
    EXPECT_GE(site.reads, 3) << "all three read as the site is given";
    draw();
    EXPECT_EQ(target.At(0, 0), (testsupport::Rgb{0x99, 0x66, 0x33}));
    EXPECT_EQ(target.At(30, 15), (testsupport::Rgb{0x99, 0x66, 0x33}));
    EXPECT_EQ(RecordOf(control.p).AmbientUserMode.load(), 1);

    // Changed behind the control's back: the drawing keeps what was read until it is told.
    site.back_color = 0x000000FF;
    draw();
    EXPECT_EQ(target.At(0, 0), (testsupport::Rgb{0x99, 0x66, 0x33}));
    ASSERT_EQ(ole_control->OnAmbientPropertyChange(DISPID_AMBIENT_BACKCOLOR), S_OK);
    draw();
    EXPECT_EQ(target.At(0, 0), (testsupport::Rgb{0xFF, 0, 0}));

    // Design mode: the caption in black on the background.
    site.user_mode = false;
    ASSERT_EQ(ole_control->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE), S_OK);
    draw();
    EXPECT_EQ(RecordOf(control.p).AmbientUserMode.load(), 0);
    EXPECT_EQ(target.At(0, 0), (testsupport::Rgb{0xFF, 0, 0}));
    int ink = 0;
    for (int x = 0; x < 60; ++x) ink += target.At(x, 15) == testsupport::Rgb{0, 0, 0} ? 1 : 0;
    EXPECT_GT(ink, 0) << "the caption crosses the middle row";

    // A palette index resolves through the ambient palette; all changed at once.
    LOGPALETTE logical{};
    logical.palVersion = kPaletteVersion;
    logical.palNumEntries = 2;
    logical.palPalEntry[1] = PALETTEENTRY{10, 200, 30, 0};
    const HPALETTE palette = CreatePalette(&logical);
    site.user_mode = true;
    site.back_color = 0x01000001;  // palette entry 1
    site.palette = palette;
    ASSERT_EQ(ole_control->OnAmbientPropertyChange(DISPID_UNKNOWN), S_OK);
    draw();
    EXPECT_EQ(target.At(30, 15), (testsupport::Rgb{10, 200, 30}));

    // A site that stops giving a value leaves the control's own default.
    site.back_color.reset();
    site.palette = nullptr;
    ASSERT_EQ(ole_control->OnAmbientPropertyChange(DISPID_UNKNOWN), S_OK);
    draw();
    EXPECT_EQ(target.At(30, 15), (testsupport::Rgb{128, 128, 128}));

    ReleaseDC(target.window(), dc);
    ASSERT_EQ(ole->SetClientSite(nullptr), S_OK);
    EXPECT_EQ(site.refs, 1u) << "the site is let go";
    DeleteObject(palette);
}

TEST(EmbeddingInterfaces, ViewChangesReachTheSinkAsItsAdviseFlagsAsk) {
    CountingSink sink;  // outlives the control that holds it
    Released<IDispatch> control(test_support::CreateControl());
    Released<IViewObject> view(Query<IViewObject>(control.p, IID_IViewObject));
    Released<IOleControl> ole_control(Query<IOleControl>(control.p, IID_IOleControl));
    // Without a window, a repaint request (here from an ambient change) is a view change.
    auto change = [&] { ole_control->OnAmbientPropertyChange(DISPID_UNKNOWN); };

    ASSERT_EQ(view->SetAdvise(DVASPECT_CONTENT, 0, &sink), S_OK);
    EXPECT_EQ(sink.refs.load(), 2u);
    change();
    change();
    EXPECT_EQ(sink.notices.load(), 2);
    DWORD aspects = 0, advf = 9;
    IAdviseSink* held = nullptr;
    ASSERT_EQ(view->GetAdvise(&aspects, &advf, &held), S_OK);
    EXPECT_EQ(held, &sink);
    EXPECT_EQ(aspects, DVASPECT_CONTENT);
    EXPECT_EQ(advf, 0u);
    held->Release();

    // Another aspect only: no notice for the content.
    ASSERT_EQ(view->SetAdvise(2, 0, &sink), S_OK);
    change();
    EXPECT_EQ(sink.notices.load(), 2);

    // Prime first: one notice at once. Only once: the sink is dropped after its notice.
    ASSERT_EQ(view->SetAdvise(DVASPECT_CONTENT, ADVF_PRIMEFIRST | ADVF_ONLYONCE, &sink), S_OK);
    EXPECT_EQ(sink.notices.load(), 3);
    change();
    EXPECT_EQ(sink.notices.load(), 3);
    ASSERT_EQ(view->GetAdvise(nullptr, nullptr, &held), S_OK);
    EXPECT_EQ(held, nullptr);
    EXPECT_EQ(sink.refs.load(), 1u);

    // Notices from the stream workers: each session's end without a window is one.
    ASSERT_EQ(view->SetAdvise(DVASPECT_CONTENT, 0, &sink), S_OK);
    control::CQuorlina& c = RecordOf(control.p);
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) workers.emplace_back([&c] { c.RequestRepaint(); });
    for (std::thread& t : workers) t.join();
    EXPECT_EQ(sink.notices.load(), 7);

    // The last release lets go of the sink.
    view.p->Release();
    view.p = nullptr;
    ole_control.p->Release();
    ole_control.p = nullptr;
    control.p->Release();
    control.p = nullptr;
    EXPECT_EQ(sink.refs.load(), 1u);
}

TEST(EmbeddingInterfaces, ActivationVerbsMakeTheWindowAndCloseTakesItAway) {
    Released<IDispatch> control(test_support::CreateControl());
    Released<IOleObject> ole(Query<IOleObject>(control.p, IID_IOleObject));
    Released<IOleWindow> window(Query<IOleWindow>(control.p, IID_IOleWindow));
    const HWND screen = CreateScreen(100, 80, 32);
    const RECT place{10, 5, 70, 45};
    ASSERT_EQ(ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, screen, &place), S_OK);
    HWND made = nullptr;
    ASSERT_EQ(window->GetWindow(&made), S_OK);
    EXPECT_EQ(GetParent(made), screen);
    RECT client;
    ASSERT_TRUE(GetClientRect(made, &client));
    EXPECT_EQ(client.right, 60);
    EXPECT_EQ(client.bottom, 40);
    EXPECT_TRUE(RecordOf(control.p).InPlaceActive.load());

    // Again on an active control: the same window, moved.
    const RECT moved{0, 0, 30, 20};
    ASSERT_EQ(ole->DoVerb(OLEIVERB_SHOW, nullptr, nullptr, 0, screen, &moved), S_OK);
    HWND again = nullptr;
    ASSERT_EQ(window->GetWindow(&again), S_OK);
    EXPECT_EQ(again, made);
    ASSERT_TRUE(GetClientRect(made, &client));
    EXPECT_EQ(client.right, 30);
    EXPECT_EQ(ole->DoVerb(OLEIVERB_HIDE, nullptr, nullptr, 0, screen, &moved), E_NOTIMPL);

    ASSERT_EQ(ole->Close(OLECLOSE_NOSAVE), S_OK);
    EXPECT_FALSE(IsWindow(made));
    EXPECT_EQ(window->GetWindow(&again), E_FAIL);
    EXPECT_FALSE(RecordOf(control.p).InPlaceActive.load());
    const RECT refused{0, 0, 0, 10};
    EXPECT_EQ(ole->DoVerb(OLEIVERB_PRIMARY, nullptr, nullptr, 0, screen, &refused), E_FAIL);
    DestroyWindow(screen);
}
