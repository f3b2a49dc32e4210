// The member table, in the interface's virtual-table order. Every row has its accessor; the device
// work of the command members is in control/quorlina_commands.cpp and commands/.
#include "control/members.h"

#include <cctype>

namespace control {

const char* to_string(MemberKind kind) {
    switch (kind) {
        case MemberKind::Method: return "method";
        case MemberKind::PropertyGet: return "propget";
        case MemberKind::PropertyPut: return "propput";
    }
    return "?";
}

const char* to_string(ValueType type) {
    switch (type) {
        case ValueType::None: return "void";
        case ValueType::Long: return "long";
        case ValueType::Double: return "double";
        case ValueType::Bool: return "bool";
        case ValueType::Text: return "BSTR";
    }
    return "?";
}

namespace {

HRESULT GetLong(HRESULT (CQuorlina::*get)(std::int32_t*), CQuorlina& c, Value* r) {
    std::int32_t v = r->long_value;
    HRESULT hr = (c.*get)(&v);
    *r = Value::Long(v);
    return hr;
}
HRESULT GetText(HRESULT (CQuorlina::*get)(std::string*), CQuorlina& c, Value* r) {
    std::string v;
    HRESULT hr = (c.*get)(&v);
    *r = Value::Text(std::move(v));
    return hr;
}
HRESULT GetDouble(HRESULT (CQuorlina::*get)(double*), CQuorlina& c, Value* r) {
    double v = 0.0;
    HRESULT hr = (c.*get)(&v);
    *r = Value::Double(v);
    return hr;
}
HRESULT GetBool(HRESULT (CQuorlina::*get)(std::int16_t*), CQuorlina& c, Value* r) {
    std::int16_t v = 0;
    HRESULT hr = (c.*get)(&v);
    *r = Value::Bool(v);
    return hr;
}
// The write-only members: success, and the caller's result stays as it was.
HRESULT GetWriteOnly(CQuorlina& c, const Value*, Value* r) {
    std::int32_t v = r->long_value;
    return c.get_WriteOnly(&v);
}
HRESULT LongMethod(HRESULT (CQuorlina::*m)(std::int32_t, std::int32_t*), CQuorlina& c,
                   const Value* a, Value* r) {
    std::int32_t v = r->long_value;
    HRESULT hr = (c.*m)(a[0].long_value, &v);
    *r = Value::Long(v);
    return hr;
}
const char* TextArg(const Value& v) { return v.null_text ? nullptr : v.text.c_str(); }

constexpr Member kMembers[] = {
    {1, -514, "Enabled", MemberKind::PropertyPut, 1, {ValueType::Bool, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, nullptr,
     [](CQuorlina& c, const Value* a, Value*) { return c.put_Enabled(a[0].bool_value); }},
    {2, -514, "Enabled", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Bool, "pbool", nullptr,
     [](CQuorlina& c, const Value*, Value* r) { return GetBool(&CQuorlina::get_Enabled, c, r); }},
    {3, -515, "Window", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "phwnd", nullptr,
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_Window, c, r); }},
    {4, 1, "Play", MemberKind::Method, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "method Play",
     [](CQuorlina& c, const Value*, Value*) { return c.Play(); }},
    {5, 2, "Stop", MemberKind::Method, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "method Stop",
     [](CQuorlina& c, const Value*, Value*) { return c.Stop(); }},
    {6, 10, "FrameRate", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Double, "pVal", "property FrameRate",
     [](CQuorlina& c, const Value*, Value* r) { return GetDouble(&CQuorlina::get_FrameRate, c, r); }},
    {7, 11, "RemoteHost", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Text, "pVal", "property RemoteHost",
     [](CQuorlina& c, const Value*, Value* r) { return GetText(&CQuorlina::get_RemoteHost, c, r); }},
    {8, 11, "RemoteHost", MemberKind::PropertyPut, 1, {ValueType::Text, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property RemoteHost",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_RemoteHost(TextArg(a[0])); }},
    {9, 12, "RemotePort", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property RemotePort",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_RemotePort, c, r); }},
    {10, 12, "RemotePort", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property RemotePort",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_RemotePort(a[0].long_value); }},
    {11, 13, "Timeout", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property Timeout",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_Timeout, c, r); }},
    {12, 13, "Timeout", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property Timeout",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_Timeout(a[0].long_value); }},
    {13, 14, "PreviewFrameRate", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property PreviewFrameRate",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_PreviewFrameRate, c, r); }},
    {14, 14, "PreviewFrameRate", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property PreviewFrameRate",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_PreviewFrameRate(a[0].long_value); }},
    {15, 16, "GetRealTimeData", MemberKind::Method, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "method GetRealTimeData",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::GetRealTimeData, c, r); }},
    {16, 24, "TimeString", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Text, "pVal", "property TimeString",
     [](CQuorlina& c, const Value*, Value* r) { return GetText(&CQuorlina::get_TimeString, c, r); }},
    {17, 27, "IOOut1", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property IOOut1",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_IOOut1, c, r); }},
    {18, 27, "IOOut1", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property IOOut1",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_IOOut1(a[0].long_value); }},
    {19, 28, "IOOut2", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property IOOut2",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_IOOut2, c, r); }},
    {20, 28, "IOOut2", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property IOOut2",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_IOOut2(a[0].long_value); }},
    {21, 32, "PreviewWidth", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property PreviewWidth",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_PreviewWidth, c, r); }},
    {22, 32, "PreviewWidth", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property PreviewWidth",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_PreviewWidth(a[0].long_value); }},
    {23, 33, "PreviewHeight", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property PreviewHeight",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_PreviewHeight, c, r); }},
    {24, 33, "PreviewHeight", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property PreviewHeight",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_PreviewHeight(a[0].long_value); }},
    {25, 123, "DeviceSerialNo", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Text, "pVal", "property DeviceSerialNo",
     [](CQuorlina& c, const Value*, Value* r) { return GetText(&CQuorlina::get_DeviceSerialNo, c, r); }},
    {26, 123, "DeviceSerialNo", MemberKind::PropertyPut, 1, {ValueType::Text, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property DeviceSerialNo",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_DeviceSerialNo(TextArg(a[0])); }},
    {27, 124, "AuthType", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property AuthType",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_AuthType, c, r); }},
    {28, 124, "AuthType", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property AuthType",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_AuthType(a[0].long_value); }},
    {29, 161, "RemoteWeb", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property RemoteWeb",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_RemoteWeb, c, r); }},
    {30, 161, "RemoteWeb", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property RemoteWeb",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_RemoteWeb(a[0].long_value); }},
    {31, 162, "ImageUpload", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property ImageUpload",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_ImageUpload, c, r); }},
    {32, 162, "ImageUpload", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property ImageUpload",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_ImageUpload(a[0].long_value); }},
    {33, 163, "EmailImage", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property EmailImage",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_EmailImage, c, r); }},
    {34, 163, "EmailImage", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property EmailImage",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_EmailImage(a[0].long_value); }},
    {35, 171, "SetName", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Text, "pVal", "property SetName",
     [](CQuorlina& c, const Value*, Value* r) { return GetText(&CQuorlina::get_SetName, c, r); }},
    {36, 171, "SetName", MemberKind::PropertyPut, 1, {ValueType::Text, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property SetName",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_SetName(TextArg(a[0])); }},
    {37, 172, "PanSingleMoveDegree", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property PanSingleMoveDegree",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_PanSingleMoveDegree, c, r); }},
    {38, 172, "PanSingleMoveDegree", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property PanSingleMoveDegree",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_PanSingleMoveDegree(a[0].long_value); }},
    {39, 173, "TiltSingleMoveDegree", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property TiltSingleMoveDegree",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_TiltSingleMoveDegree, c, r); }},
    {40, 173, "TiltSingleMoveDegree", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property TiltSingleMoveDegree",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_TiltSingleMoveDegree(a[0].long_value); }},
    {41, 174, "GetHorizontalPosition", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property GetHorizontalPosition",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_GetHorizontalPosition, c, r); }},
    {42, 174, "GetHorizontalPosition", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property GetHorizontalPosition",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_GetHorizontalPosition(a[0].long_value); }},
    {43, 175, "GetVerticalPosition", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property GetVerticalPosition",
     [](CQuorlina& c, const Value*, Value* r) { return GetLong(&CQuorlina::get_GetVerticalPosition, c, r); }},
    {44, 175, "GetVerticalPosition", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property GetVerticalPosition",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_GetVerticalPosition(a[0].long_value); }},
    {45, 176, "MovePanTiltDegree", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property MovePanTiltDegree",
     GetWriteOnly},
    {46, 176, "MovePanTiltDegree", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property MovePanTiltDegree",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_MovePanTiltDegree(a[0].long_value); }},
    {47, 177, "ClearPosition", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property ClearPosition",
     GetWriteOnly},
    {48, 177, "ClearPosition", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property ClearPosition",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_ClearPosition(a[0].long_value); }},
    {49, 178, "SetPosition", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property SetPosition",
     GetWriteOnly},
    {50, 178, "SetPosition", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property SetPosition",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_SetPosition(a[0].long_value); }},
    {51, 179, "MovePanTiltPosition", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property MovePanTiltPosition",
     GetWriteOnly},
    {52, 179, "MovePanTiltPosition", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property MovePanTiltPosition",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_MovePanTiltPosition(a[0].long_value); }},
    {53, 180, "SwingMode", MemberKind::PropertyGet, 0, {ValueType::None, ValueType::None}, {nullptr, nullptr}, ValueType::Long, "pVal", "property SwingMode",
     GetWriteOnly},
    {54, 180, "SwingMode", MemberKind::PropertyPut, 1, {ValueType::Long, ValueType::None}, {nullptr, nullptr}, ValueType::None, nullptr, "property SwingMode",
     [](CQuorlina& c, const Value* a, Value*) { return c.put_SwingMode(a[0].long_value); }},
    {55, 181, "Zoom", MemberKind::Method, 1, {ValueType::Long, ValueType::None}, {"lMode", nullptr}, ValueType::Long, "pVal", "method Zoom",
     [](CQuorlina& c, const Value* a, Value* r) { return LongMethod(&CQuorlina::Zoom, c, a, r); }},
    {56, 182, "ResizeMode", MemberKind::Method, 1, {ValueType::Long, ValueType::None}, {"lMode", nullptr}, ValueType::Long, "pVal", "method ResizeMode",
     [](CQuorlina& c, const Value* a, Value* r) { return LongMethod(&CQuorlina::ResizeMode, c, a, r); }},
    {57, 183, "DisplayMode", MemberKind::Method, 1, {ValueType::Long, ValueType::None}, {"lMode", nullptr}, ValueType::Long, "pVal", "method DisplayMode",
     [](CQuorlina& c, const Value* a, Value* r) { return LongMethod(&CQuorlina::DisplayMode, c, a, r); }},
    {58, 184, "MoveToPos", MemberKind::Method, 2, {ValueType::Long, ValueType::Long}, {"lPosP", "lPosT"}, ValueType::Long, "pVal", "method MoveToPos",
     [](CQuorlina& c, const Value* a, Value* r) {
         std::int32_t v = r->long_value;
         HRESULT hr = c.MoveToPos(a[0].long_value, a[1].long_value, &v);
         *r = Value::Long(v);
         return hr;
     }},
};
static_assert(std::size(kMembers) == 58);

bool SameName(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == '\0';
}

}  // namespace

std::span<const Member> Members() { return kMembers; }

const Member* FindMember(const std::string& name, MemberKind kind) {
    for (const Member& m : kMembers)
        if (m.kind == kind && SameName(name, m.name)) return &m;
    return nullptr;
}

bool HasMemberName(const std::string& name) {
    for (const Member& m : kMembers)
        if (SameName(name, m.name)) return true;
    return false;
}

}  // namespace control
