// The control's scripting surface as a container reaches it: GetIDsOfNames and Invoke for every
// row of the member table, the argument checks and coercions, the type information, the virtual
// table, and the members' edge cases.
#include "host/dispatch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "control/members.h"
#include "host/identity.h"
#include "host/iquorlina_lite.h"
#include "host/quorlina_object.h"
#include "host/type_info.h"
#include "platform/registry.h"
#include "support/client_site_stub.h"
#include "support/dispatch_client.h"
#include "support/loopback_peer.h"

using namespace platform;
using namespace test_support;
using control::Member;
using control::MemberKind;
using control::ValueType;

namespace {

// Getters that succeed without writing their result.
const char* const kWriteOnlyGetters[] = {"MovePanTiltDegree", "ClearPosition", "SetPosition",
                                         "MovePanTiltPosition", "SwingMode"};

bool IsWriteOnlyGetter(const Member& m) {
    if (m.kind != MemberKind::PropertyGet) return false;
    for (const char* name : kWriteOnlyGetters)
        if (std::strcmp(name, m.name) == 0) return true;
    return false;
}

WORD FlagsOf(MemberKind kind) {
    switch (kind) {
        case MemberKind::Method:
            return DISPATCH_METHOD;
        case MemberKind::PropertyGet:
            return DISPATCH_PROPERTYGET;
        case MemberKind::PropertyPut:
            return DISPATCH_PROPERTYPUT;
    }
    return 0;
}

// A harmless argument of each type: 0, false, or the null string (which every text setter
// treats as "change nothing" or "empty").
VARIANT HarmlessArg(ValueType type) {
    VARIANT v;
    switch (type) {
        case ValueType::Long:
            v.vt = VT_I4;
            v.lVal = 0;
            break;
        case ValueType::Bool:
            v.vt = VT_BOOL;
            v.boolVal = VARIANT_FALSE;
            break;
        case ValueType::Text:
            v.vt = VT_BSTR;
            v.bstrVal = nullptr;
            break;
        default:
            break;
    }
    return v;
}

// Invokes a row with `count` harmless arguments (reversed as Invoke takes them).
HRESULT InvokeRow(IDispatch& d, const Member& m, int count, VARIANT* result, bool named_put = true,
                  UINT* arg_error = nullptr) {
    std::vector<VARIANT> args;
    for (int i = count - 1; i >= 0; --i)
        args.push_back(HarmlessArg(i < m.param_count ? m.params[i] : ValueType::Long));
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = args.empty() ? nullptr : args.data();
    params.cArgs = static_cast<UINT>(args.size());
    if (m.kind == MemberKind::PropertyPut && named_put && count > 0) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    return d.Invoke(m.dispid, IID_NULL, kLocaleEnglishUs, FlagsOf(m.kind), &params, result, nullptr,
                    arg_error);
}

class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegResetForTesting(false);
        control_.p = CreateControl();
        ASSERT_NE(control_.p, nullptr);
        inner_ = &host::QuorlinaObject::FromUnknown(control_.p)->Control();
        // A decided native device behind a refused loopback port: device work fails at once.
        inner_->StreamMode = control::kStreamNative;
        inner_->RemotePort = refusing_.port();
    }

    IDispatch& d() { return *control_.p; }
    host::IQuorlinaLite* Lite() {
        void* p = nullptr;
        control_->QueryInterface(host::kIidIQuorlinaLite, &p);
        return static_cast<host::IQuorlinaLite*>(p);
    }

    RefusingPort refusing_;
    Released<IDispatch> control_;
    control::CQuorlina* inner_ = nullptr;
};

}  // namespace

TEST_F(DispatchTest, EveryMemberResolvesByNameInAnyCase) {
    for (const Member& m : control::Members()) {
        SCOPED_TRACE(m.name);
        std::string lower = m.name, upper = m.name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(DispidOf(d(), m.name), m.dispid);
        EXPECT_EQ(DispidOf(d(), lower), m.dispid);
        EXPECT_EQ(DispidOf(d(), upper), m.dispid);
    }
}

TEST_F(DispatchTest, EveryMemberInvokesWithItsKindAndGivesItsResultType) {
    for (const Member& m : control::Members()) {
        SCOPED_TRACE(m.name + std::string(" ") + control::to_string(m.kind));
        VARIANT result;
        result.vt = VT_I2;  // a sentinel no member returns
        result.iVal = 1234;
        ASSERT_NE(m.accessor, nullptr) << "every member of the table does its work in this build";
        const HRESULT hr = InvokeRow(d(), m, m.param_count, &result);
        EXPECT_TRUE(Succeeded(hr)) << HresultName(hr);
        if (m.result == ValueType::None || IsWriteOnlyGetter(m)) {
            EXPECT_EQ(result.vt, VT_I2);
            EXPECT_EQ(result.iVal, 1234);
        } else {
            EXPECT_EQ(result.vt, host::VartypeOf(m.result));
        }
        VariantClear(&result);
    }
}

TEST_F(DispatchTest, ArgumentCountsAndNamedArgumentsAreChecked) {
    for (const Member& m : control::Members()) {
        SCOPED_TRACE(m.name + std::string(" ") + control::to_string(m.kind));
        VARIANT result;
        EXPECT_EQ(InvokeRow(d(), m, m.param_count + 1, &result), DISP_E_BADPARAMCOUNT);
        if (m.param_count > 0 && m.kind != MemberKind::PropertyPut) {
            EXPECT_EQ(InvokeRow(d(), m, m.param_count - 1, &result), DISP_E_PARAMNOTOPTIONAL);
        }
        if (m.kind == MemberKind::PropertyPut) {
            // The value must come named DISPID_PROPERTYPUT.
            EXPECT_EQ(InvokeRow(d(), m, 1, &result, false), DISP_E_PARAMNOTOPTIONAL);
        } else {
            std::vector<VARIANT> args(m.param_count + 1, Long(0));
            DISPID named[] = {0};
            DISPPARAMS params;
            params.rgvarg = args.data();
            params.cArgs = static_cast<UINT>(args.size());
            params.rgdispidNamedArgs = named;
            params.cNamedArgs = 1;
            EXPECT_EQ(d().Invoke(m.dispid, IID_NULL, 0, FlagsOf(m.kind), &params, &result, nullptr,
                                 nullptr),
                      DISP_E_NONAMEDARGS);
        }
    }
}

TEST_F(DispatchTest, ArgumentsThatDoNotCoerceAreNamedByTheirIndex) {
    for (const Member& m : control::Members()) {
        for (int p = 0; p < m.param_count; ++p) {
            if (m.params[p] == ValueType::Text) continue;  // any scalar coerces to text
            SCOPED_TRACE(m.name + std::string(" parameter ") + std::to_string(p));
            Text word("not a number");
            std::vector<VARIANT> args;
            for (int i = m.param_count - 1; i >= 0; --i)
                args.push_back(i == p ? word.v : HarmlessArg(m.params[i]));
            DISPID named = DISPID_PROPERTYPUT;
            DISPPARAMS params;
            params.rgvarg = args.data();
            params.cArgs = static_cast<UINT>(args.size());
            if (m.kind == MemberKind::PropertyPut) {
                params.rgdispidNamedArgs = &named;
                params.cNamedArgs = 1;
            }
            UINT arg_error = 99;
            VARIANT result;
            EXPECT_EQ(d().Invoke(m.dispid, IID_NULL, 0, FlagsOf(m.kind), &params, &result, nullptr,
                                 &arg_error),
                      DISP_E_TYPEMISMATCH);
            EXPECT_EQ(arg_error, static_cast<UINT>(m.param_count - 1 - p));
        }
    }
}

TEST_F(DispatchTest, ArgumentsCoerceWhereAutomationWould) {
    const DISPID width = DispidOf(d(), "PreviewWidth");
    Text number(" 640 ");
    std::int32_t by_ref_value = 800;
    VARIANT by_ref;
    by_ref.vt = VT_BYREF | VT_I4;
    by_ref.plVal = &by_ref_value;
    VARIANT real;
    real.vt = VT_R8;
    real.dblVal = 2.5;
    VARIANT small;
    small.vt = VT_I2;
    small.iVal = -3;
    struct Row {
        const char* what;
        VARIANT arg;
        std::int32_t stored;
    };
    const Row rows[] = {
        {"text", number.v, 640},
        {"by reference", by_ref, 800},
        {"double rounds to even", real, 2},
        {"short", small, -3},
        {"bool", Bool(VARIANT_TRUE), -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(Put(d(), width, row.arg), S_OK);
        EXPECT_EQ(inner_->PreviewWidth.load(), row.stored);
    }
    VARIANT too_big;
    too_big.vt = VT_R8;
    too_big.dblVal = 1e12;
    EXPECT_EQ(Put(d(), width, too_big), DISP_E_OVERFLOW);
    EXPECT_EQ(inner_->PreviewWidth.load(), -1);

    EXPECT_EQ(Put(d(), DispidOf(d(), "SetName"), Long(42)), S_OK);
    EXPECT_EQ(inner_->SetName.Get(), "42");
    EXPECT_EQ(Put(d(), DISPID_ENABLED, Long(0)), S_OK);
    EXPECT_FALSE(inner_->EnabledFlag.load());
}

TEST_F(DispatchTest, UnknownNamesNumbersKindsAndInterfacesAreRefused) {
    std::u16string bogus = u"Bogus", zoom = u"zoom", mode = u"LMODE", nope = u"nope";
    std::u16string move = u"MoveToPos", tilt = u"lPosT", pan = u"lPosP";
    DISPID ids[3] = {7, 7, 7};
    OLECHAR* one[] = {bogus.data()};
    EXPECT_EQ(d().GetIDsOfNames(IID_NULL, one, 1, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    EXPECT_EQ(d().GetIDsOfNames(IID_IDispatch, one, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);

    OLECHAR* with_param[] = {zoom.data(), mode.data()};
    EXPECT_EQ(d().GetIDsOfNames(IID_NULL, with_param, 2, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 181);
    EXPECT_EQ(ids[1], 0);
    OLECHAR* two_params[] = {move.data(), tilt.data(), pan.data()};
    EXPECT_EQ(d().GetIDsOfNames(IID_NULL, two_params, 3, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 184);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], 0);
    OLECHAR* bad_param[] = {zoom.data(), nope.data()};
    EXPECT_EQ(d().GetIDsOfNames(IID_NULL, bad_param, 2, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 181);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);

    VARIANT result;
    DISPPARAMS none;
    EXPECT_EQ(Get(d(), 999, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Get(d(), DispidOf(d(), "Play"), &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Put(d(), DispidOf(d(), "FrameRate"), Long(1)), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(d(), DispidOf(d(), "Timeout"), {}, &result), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(d().Invoke(1, IID_IDispatch, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(d().Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
              E_INVALIDARG);
    // A script engine asking for "method or property get" gets the getter.
    EXPECT_EQ(d().Invoke(DispidOf(d(), "Timeout"), IID_NULL, 0,
                         DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 3);
}

TEST_F(DispatchTest, StoredValuesFollowTheirMembersRules) {
    // Timeout keeps its value when the new one is 10 or more below it.
    EXPECT_EQ(PutLong(d(), "Timeout", -7), S_OK);
    EXPECT_EQ(GetLong(d(), "Timeout"), 3);
    EXPECT_EQ(PutLong(d(), "Timeout", -6), S_OK);
    EXPECT_EQ(GetLong(d(), "Timeout"), -6);
    // PreviewFrameRate reads 0 whatever is put.
    EXPECT_EQ(PutLong(d(), "PreviewFrameRate", 25), S_OK);
    EXPECT_EQ(GetLong(d(), "PreviewFrameRate"), 0);

    struct Row {
        const char* method;
        std::int32_t mode;
        std::atomic<std::int32_t>* field;
    };
    const Row rows[] = {{"Zoom", 2, &inner_->ZoomFactor},
                        {"ResizeMode", 1, &inner_->ResizeMethod},
                        {"DisplayMode", 0, &inner_->DisplayMethod}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method);
        row.field->store(7);
        VARIANT result;
        EXPECT_EQ(Call(d(), DispidOf(d(), row.method), {Long(row.mode)}, &result), S_OK);
        EXPECT_EQ(result.vt, VT_I4);
        EXPECT_EQ(result.lVal, row.mode);
        EXPECT_EQ(row.field->load(), row.mode);
    }
}

TEST_F(DispatchTest, NullStringsEmptySetNameAndKeepDeviceSerialNo) {
    const DISPID set_name = DispidOf(d(), "SetName"), serial = DispidOf(d(), "DeviceSerialNo");
    Text preset("Gate"), token("dXNlcjpwYXNz"), null_text(nullptr);
    ASSERT_EQ(Put(d(), set_name, preset.v), S_OK);
    ASSERT_EQ(Put(d(), serial, token.v), S_OK);
    EXPECT_EQ(GetText(d(), "SetName"), "Gate");
    EXPECT_EQ(Put(d(), set_name, null_text.v), S_OK);
    EXPECT_EQ(GetText(d(), "SetName"), "");
    EXPECT_EQ(Put(d(), serial, null_text.v), S_OK);
    EXPECT_EQ(GetText(d(), "DeviceSerialNo"), "dXNlcjpwYXNz");
    Text empty("");
    EXPECT_EQ(Put(d(), serial, empty.v), S_OK);  // the empty string is not the null one
    EXPECT_EQ(GetText(d(), "DeviceSerialNo"), "");

    // Stored texts are cut at 259 characters.
    const std::string long_text(300, 'n');
    Text too_long(long_text.c_str());
    EXPECT_EQ(Put(d(), set_name, too_long.v), S_OK);
    EXPECT_EQ(GetText(d(), "SetName"), std::string(259, 'n'));
}

TEST_F(DispatchTest, TextsCrossInIso88591) {
    const char16_t wide[] = u"caf\u00E9 \u4E2D";
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(wide);
    EXPECT_EQ(Put(d(), DispidOf(d(), "SetName"), v), S_OK);
    VariantClear(&v);
    EXPECT_EQ(inner_->SetName.Get(), "caf\xE9 ?");
    VARIANT out;
    ASSERT_EQ(Get(d(), DispidOf(d(), "SetName"), &out), S_OK);
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(out.bstrVal), 6u);
    EXPECT_EQ(out.bstrVal[3], 0xE9);
    VariantClear(&out);
}

TEST_F(DispatchTest, WriteOnlyGettersLeaveTheResultAsItWas) {
    Released<host::IQuorlinaLite> lite(Lite());
    for (const char* name : kWriteOnlyGetters) {
        SCOPED_TRACE(name);
        VARIANT result = Long(4321);
        EXPECT_EQ(Get(d(), DispidOf(d(), name), &result), S_OK);
        EXPECT_EQ(result.vt, VT_I4);
        EXPECT_EQ(result.lVal, 4321);
    }
    LONG value = 4321;
    EXPECT_EQ(lite->get_MovePanTiltDegree(&value), S_OK);
    EXPECT_EQ(value, 4321);
}

TEST_F(DispatchTest, AuthTypeAndWindowThroughTheVirtualTable) {
    Released<host::IQuorlinaLite> lite(Lite());
    EXPECT_EQ(lite->get_AuthType(nullptr), E_POINTER);
    EXPECT_EQ(lite->put_AuthType(2), S_OK);
    LONG auth = 0;
    EXPECT_EQ(lite->get_AuthType(&auth), S_OK);
    EXPECT_EQ(auth, 2);

    LONG window = 99;
    EXPECT_EQ(lite->get_Window(&window), S_OK);
    EXPECT_EQ(window, 0);
    static char fake_window;
    inner_->AttachWindow(reinterpret_cast<HWND>(&fake_window));
    EXPECT_EQ(lite->get_Window(&window), S_OK);
    EXPECT_EQ(window, static_cast<LONG>(reinterpret_cast<std::uintptr_t>(&fake_window)));
}

TEST_F(DispatchTest, VirtualTableAndDispatchReachTheSameMembers) {
    Released<host::IQuorlinaLite> lite(Lite());
    using Setter = HRESULT (host::IQuorlinaLite::*)(LONG);
    using Getter = HRESULT (host::IQuorlinaLite::*)(LONG*);
    struct Row {
        const char* name;
        Setter put;
        Getter get;
    };
    const Row rows[] = {
        {"Timeout", &host::IQuorlinaLite::put_Timeout, &host::IQuorlinaLite::get_Timeout},
        {"PreviewWidth", &host::IQuorlinaLite::put_PreviewWidth,
         &host::IQuorlinaLite::get_PreviewWidth},
        {"PreviewHeight", &host::IQuorlinaLite::put_PreviewHeight,
         &host::IQuorlinaLite::get_PreviewHeight},
        {"AuthType", &host::IQuorlinaLite::put_AuthType, &host::IQuorlinaLite::get_AuthType},
        {"PanSingleMoveDegree", &host::IQuorlinaLite::put_PanSingleMoveDegree,
         &host::IQuorlinaLite::get_PanSingleMoveDegree},
        {"TiltSingleMoveDegree", &host::IQuorlinaLite::put_TiltSingleMoveDegree,
         &host::IQuorlinaLite::get_TiltSingleMoveDegree},
        {"GetHorizontalPosition", &host::IQuorlinaLite::put_GetHorizontalPosition,
         &host::IQuorlinaLite::get_GetHorizontalPosition},
        {"GetVerticalPosition", &host::IQuorlinaLite::put_GetVerticalPosition,
         &host::IQuorlinaLite::get_GetVerticalPosition},
    };
    std::int32_t value = 100;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ++value;
        EXPECT_EQ((lite.p->*row.put)(value), S_OK);
        EXPECT_EQ(GetLong(d(), row.name), value);
        ++value;
        EXPECT_EQ(PutLong(d(), row.name, value), S_OK);
        LONG read = 0;
        EXPECT_EQ((lite.p->*row.get)(&read), S_OK);
        EXPECT_EQ(read, value);
    }
    inner_->IOOut1 = 1;
    inner_->IOOut2 = 2;
    inner_->ImageUpload = 3;
    inner_->EmailImage = 4;
    inner_->TimeString.Set("2024-01-02 03:04:05");
    LONG out1 = 0, out2 = 0, upload = 0, email = 0;
    EXPECT_EQ(lite->get_IOOut1(&out1), S_OK);
    EXPECT_EQ(lite->get_IOOut2(&out2), S_OK);
    EXPECT_EQ(lite->get_ImageUpload(&upload), S_OK);
    EXPECT_EQ(lite->get_EmailImage(&email), S_OK);
    EXPECT_EQ(out1 * 1000 + out2 * 100 + upload * 10 + email, 1234);
    BSTR time = nullptr;
    EXPECT_EQ(lite->get_TimeString(&time), S_OK);
    EXPECT_EQ(AnsiFromBstr(time), "2024-01-02 03:04:05");
    SysFreeString(time);
    LONG zoom = 0;
    EXPECT_EQ(lite->Zoom(3, &zoom), S_OK);
    EXPECT_EQ(zoom, 3);
    EXPECT_EQ(GetLong(d(), "RemotePort"), refusing_.port());
    VARIANT_BOOL enabled = 0;
    EXPECT_EQ(lite->get_Enabled(&enabled), S_OK);
    EXPECT_EQ(enabled, VARIANT_TRUE);
}

namespace {

// The container's site, with the property-notify sink the control looks for on it.
class Site final : public testsupport::ClientSiteStub, public IPropertyNotifySink {
  public:
    bool refuse = false;
    std::vector<DISPID> requested, changed;

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IOleClientSite) {
            *object = static_cast<IOleClientSite*>(this);
        } else if (iid == IID_IPropertyNotifySink) {
            *object = static_cast<IPropertyNotifySink*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT OnChanged(DISPID id) override {
        changed.push_back(id);
        return S_OK;
    }
    HRESULT OnRequestEdit(DISPID id) override {
        requested.push_back(id);
        return refuse ? S_FALSE : S_OK;
    }
    ULONG refs = 0;
};

}  // namespace

TEST_F(DispatchTest, EnabledAsksTheContainerAndTellsIt) {
    Site site;
    void* ole = nullptr;
    ASSERT_EQ(control_->QueryInterface(IID_IOleObject, &ole), S_OK);
    Released<IOleObject> object(static_cast<IOleObject*>(ole));
    void* persist = nullptr;
    ASSERT_EQ(control_->QueryInterface(IID_IPersistStreamInit, &persist), S_OK);
    Released<IPersistStreamInit> stream_init(static_cast<IPersistStreamInit*>(persist));
    ASSERT_EQ(object->SetClientSite(&site), S_OK);
    EXPECT_EQ(stream_init->IsDirty(), S_FALSE);

    site.refuse = true;
    EXPECT_EQ(Put(d(), DISPID_ENABLED, Bool(VARIANT_FALSE)), S_FALSE);
    EXPECT_TRUE(inner_->EnabledFlag.load());
    EXPECT_TRUE(site.changed.empty());
    EXPECT_EQ(stream_init->IsDirty(), S_FALSE);

    site.refuse = false;
    EXPECT_EQ(Put(d(), DISPID_ENABLED, Bool(VARIANT_FALSE)), S_OK);
    EXPECT_FALSE(inner_->EnabledFlag.load());
    EXPECT_EQ(site.requested, (std::vector<DISPID>{DISPID_ENABLED, DISPID_ENABLED}));
    EXPECT_EQ(site.changed, (std::vector<DISPID>{DISPID_ENABLED}));
    EXPECT_EQ(stream_init->IsDirty(), S_OK);
    VARIANT enabled;
    ASSERT_EQ(Get(d(), DISPID_ENABLED, &enabled), S_OK);
    EXPECT_EQ(enabled.vt, VT_BOOL);
    EXPECT_EQ(enabled.boolVal, VARIANT_FALSE);

    // Only the stock property asks.
    EXPECT_EQ(PutLong(d(), "PreviewWidth", 5), S_OK);
    EXPECT_EQ(site.requested.size(), 2u);

    EXPECT_EQ(object->SetClientSite(nullptr), S_OK);
    EXPECT_EQ(site.refs, 0u);
}

TEST_F(DispatchTest, TypeInformationDescribesEveryRow) {
    UINT count = 0;
    EXPECT_EQ(d().GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* bad = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(d().GetTypeInfo(1, 0, &bad), DISP_E_BADINDEX);
    EXPECT_EQ(bad, nullptr);
    ITypeInfo* raw = nullptr;
    ASSERT_EQ(d().GetTypeInfo(0, kLocaleEnglishUs, &raw), S_OK);
    Released<ITypeInfo> info(raw);

    TYPEATTR attr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(FormatGuid(attr.guid), "{3E7A19C4-52D8-4B6F-8E21-C7A9D04F5B36}");
    EXPECT_EQ(attr.typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr.cFuncs, 58u);
    EXPECT_NE(attr.wTypeFlags & TYPEFLAG_FDUAL, 0);

    const auto members = control::Members();
    for (UINT i = 0; i < attr.cFuncs; ++i) {
        const Member& m = members[i];
        SCOPED_TRACE(m.name);
        FUNCDESC desc;
        ASSERT_EQ(info->GetFuncDesc(i, &desc), S_OK);
        EXPECT_EQ(desc.memid, m.dispid);
        EXPECT_EQ(desc.oVft, static_cast<short>(6 + m.slot));
        EXPECT_EQ(desc.cParams, m.param_count);
        for (int p = 0; p < m.param_count; ++p)
            EXPECT_EQ(desc.paramTypes[p], host::VartypeOf(m.params[p]));
        EXPECT_EQ(desc.resultType, host::VartypeOf(m.result));

        BSTR names[4] = {};
        UINT got = 0;
        ASSERT_EQ(info->GetFuncNames(i, names, 4, &got), S_OK);
        ASSERT_EQ(got,
                  static_cast<UINT>(1 + m.param_count + (m.result != ValueType::None ? 1 : 0)));
        EXPECT_EQ(AnsiFromBstr(names[0]), m.name);
        for (int p = 0; p < m.param_count; ++p) {
            if (m.param_names[p] == nullptr) {
                EXPECT_EQ(names[1 + p], nullptr);
            } else {
                EXPECT_EQ(AnsiFromBstr(names[1 + p]), m.param_names[p]);
            }
        }
        if (m.result != ValueType::None) {
            EXPECT_EQ(AnsiFromBstr(names[got - 1]), m.result_name);
        }
        for (UINT n = 0; n < got; ++n) SysFreeString(names[n]);

        BSTR name = nullptr, help = nullptr;
        ASSERT_EQ(info->GetDocumentation(m.dispid, &name, &help), S_OK);
        EXPECT_EQ(AnsiFromBstr(name), m.name);
        if (m.help == nullptr) {
            EXPECT_EQ(help, nullptr);
        } else {
            EXPECT_EQ(AnsiFromBstr(help), m.help);
        }
        SysFreeString(name);
        SysFreeString(help);
    }
    FUNCDESC desc;
    EXPECT_EQ(info->GetFuncDesc(58, &desc), TYPE_E_ELEMENTNOTFOUND);
    BSTR name = nullptr, help = nullptr;
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, &name, &help), S_OK);
    EXPECT_EQ(AnsiFromBstr(name), "IQuorlinaLite");
    EXPECT_EQ(AnsiFromBstr(help), "IQuorlinaLite Interface");
    SysFreeString(name);
    SysFreeString(help);
    EXPECT_EQ(info->GetDocumentation(12345, &name, &help), TYPE_E_ELEMENTNOTFOUND);

    // The help strings the table promises: "property X" / "method X", none for Enabled and Window.
    for (const Member& m : members) {
        SCOPED_TRACE(m.name);
        if (m.dispid == DISPID_ENABLED || m.dispid == DISPID_HWND) {
            EXPECT_EQ(m.help, nullptr);
            continue;
        }
        const std::string prefix = m.kind == MemberKind::Method ? "method " : "property ";
        EXPECT_EQ(std::string(m.help), prefix + m.name);
    }
}

namespace {

// Stands in for the object behind Invoke: records what a row is called with and answers a
// long result as given.
class RecordingCaller final : public host::MemberCaller {
  public:
    std::vector<std::int32_t> args;
    std::int32_t seen_result = 0;
    bool answer = true;

    HRESULT CallMember(const Member& m, const control::Value* a, control::Value* result) override {
        args.clear();
        for (int i = 0; i < m.param_count; ++i) args.push_back(a[i].long_value);
        seen_result = result->long_value;
        if (answer) *result = control::Value::Long(result->long_value + 1);
        return S_OK;
    }
};

}  // namespace

TEST(InvokeMember, PassesArgumentsInParameterOrderAndTheCallersResultIn) {
    RecordingCaller caller;
    VARIANT args[] = {Long(20), Long(10)};  // last first: pan 10, tilt 20
    DISPPARAMS params;
    params.rgvarg = args;
    params.cArgs = 2;
    VARIANT result = Long(41);
    ASSERT_EQ(host::InvokeMember(caller, 184, DISPATCH_METHOD, &params, &result, nullptr), S_OK);
    EXPECT_EQ(caller.args, (std::vector<std::int32_t>{10, 20}));
    EXPECT_EQ(caller.seen_result, 41);
    EXPECT_EQ(result.lVal, 42);

    // A row that writes no result leaves the caller's variable alone, whatever it holds.
    caller.answer = false;
    VARIANT untouched;
    untouched.vt = VT_R8;
    untouched.dblVal = 1.5;
    ASSERT_EQ(host::InvokeMember(caller, 184, DISPATCH_METHOD, &params, &untouched, nullptr), S_OK);
    EXPECT_EQ(caller.seen_result, 0);
    EXPECT_EQ(untouched.vt, VT_R8);
    EXPECT_EQ(untouched.dblVal, 1.5);
    // And a caller that wants no result gets none.
    caller.answer = true;
    EXPECT_EQ(host::InvokeMember(caller, 184, DISPATCH_METHOD, &params, nullptr, nullptr), S_OK);
}
