// GUID text forms, BSTR allocation and its ISO-8859-1 conversions, and the VARIANT coercions.
// The hard part is the coercion table: which source types convert to which target, and which
// failure code (type mismatch or overflow) a refused conversion gives.
#include "platform/com.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace platform {

std::string HresultName(HRESULT hr) {
    struct Name {
        HRESULT code;
        const char* name;
    };
    static constexpr Name kNames[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_POINTER, "E_POINTER"},
        {E_FAIL, "E_FAIL"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {DISP_E_UNKNOWNINTERFACE, "DISP_E_UNKNOWNINTERFACE"},
        {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND"},
        {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
        {DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME"},
        {DISP_E_NONAMEDARGS, "DISP_E_NONAMEDARGS"},
        {DISP_E_OVERFLOW, "DISP_E_OVERFLOW"},
        {DISP_E_BADINDEX, "DISP_E_BADINDEX"},
        {DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT"},
        {DISP_E_PARAMNOTOPTIONAL, "DISP_E_PARAMNOTOPTIONAL"},
        {TYPE_E_ELEMENTNOTFOUND, "TYPE_E_ELEMENTNOTFOUND"},
        {DV_E_DVASPECT, "DV_E_DVASPECT"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
        {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
        {SELFREG_E_CLASS, "SELFREG_E_CLASS"},
        {STG_E_FILENOTFOUND, "STG_E_FILENOTFOUND"},
        {STG_E_READFAULT, "STG_E_READFAULT"},
        {STG_E_INVALIDHEADER, "STG_E_INVALIDHEADER"},
    };
    for (const Name& n : kNames)
        if (n.code == hr) return n.name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
}

// --- GUID ---
namespace {

constexpr std::size_t kGuidTextLength = 38;  // "{" 8-4-4-4-12 "}"

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[pos]; false on a non-digit.
bool ReadHex(std::string_view text, std::size_t pos, int digits, std::uint64_t* out) {
    std::uint64_t v = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = HexDigit(text[pos + i]);
        if (d < 0) return false;
        v = v << 4 | static_cast<std::uint64_t>(d);
    }
    *out = v;
    return true;
}

}  // namespace

bool ParseGuid(std::string_view text, GUID* out) {
    if (text.size() != kGuidTextLength || text[0] != '{' || text[37] != '}') return false;
    if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return false;
    std::uint64_t d1, d2, d3, d4a, d4b;
    if (!ReadHex(text, 1, 8, &d1) || !ReadHex(text, 10, 4, &d2) || !ReadHex(text, 15, 4, &d3) ||
        !ReadHex(text, 20, 4, &d4a) || !ReadHex(text, 25, 12, &d4b))
        return false;
    GUID g;
    g.Data1 = static_cast<std::uint32_t>(d1);
    g.Data2 = static_cast<std::uint16_t>(d2);
    g.Data3 = static_cast<std::uint16_t>(d3);
    g.Data4[0] = static_cast<std::uint8_t>(d4a >> 8);
    g.Data4[1] = static_cast<std::uint8_t>(d4a);
    for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<std::uint8_t>(d4b >> (40 - 8 * i));
    *out = g;
    return true;
}

std::string FormatGuid(const GUID& g) {
    char buf[kGuidTextLength + 1];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// --- BSTR ---
namespace {

constexpr std::size_t kBstrPrefixBytes = sizeof(std::uint32_t);
constexpr UINT kMaxBstrChars = 0x3FFFFFFF;  // the byte length must fit the 32-bit prefix

char* BstrBlock(BSTR text) {
    return reinterpret_cast<char*>(text) - kBstrPrefixBytes;
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > kMaxBstrChars) return nullptr;
    const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(OLECHAR);
    char* block = static_cast<char*>(std::malloc(kBstrPrefixBytes + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const std::uint32_t prefix = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &prefix, sizeof prefix);
    BSTR s = reinterpret_cast<BSTR>(block + kBstrPrefixBytes);
    if (text != nullptr)
        std::memcpy(s, text, bytes);
    else
        std::memset(s, 0, bytes);
    s[length] = u'\0';
    return s;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) return nullptr;
    UINT n = 0;
    while (text[n] != u'\0') ++n;
    return SysAllocStringLen(text, n);
}

void SysFreeString(BSTR text) {
    if (text != nullptr) std::free(BstrBlock(text));
}

UINT SysStringLen(BSTR text) {
    if (text == nullptr) return 0;
    std::uint32_t bytes;
    std::memcpy(&bytes, BstrBlock(text), sizeof bytes);
    return bytes / sizeof(OLECHAR);
}

std::u16string Utf16FromAnsi(std::string_view text) {
    std::u16string out(text.size(), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        out[i] = static_cast<OLECHAR>(static_cast<unsigned char>(text[i]));
    return out;
}

BSTR BstrFromAnsi(std::string_view text) {
    const std::u16string wide = Utf16FromAnsi(text);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string AnsiFromWide(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const OLECHAR c = text[i];
        if (c <= 0xFF) {
            out += static_cast<char>(c);
            continue;
        }
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
                          text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if (pair) ++i;
        out += '?';
    }
    return out;
}

std::string AnsiFromBstr(BSTR text) {
    return text == nullptr ? std::string()
                           : AnsiFromWide(std::u16string_view(text, SysStringLen(text)));
}

// --- VARIANT ---
void VariantInit(VARIANT* v) {
    v->vt = VT_EMPTY;
    v->lVal = 0;
}

HRESULT VariantClear(VARIANT* v) {
    if (v->vt == VT_BSTR) SysFreeString(v->bstrVal);
    VariantInit(v);
    return S_OK;
}

namespace {

// A source value reduced to what the coercions look at.
struct Scalar {
    enum class Kind { Empty, Integer, Real, Text } kind = Kind::Empty;
    std::int64_t integer = 0;
    double real = 0.0;
    BSTR text = nullptr;
};

HRESULT ReadScalar(const VARIANT* src, Scalar* out) {
    VARTYPE vt = src->vt;
    const bool by_ref = (vt & VT_BYREF) != 0;
    vt = static_cast<VARTYPE>(vt & ~VT_BYREF);
    if (by_ref && src->plVal == nullptr) return E_INVALIDARG;
    switch (vt) {
        case VT_EMPTY:
            if (by_ref) return DISP_E_TYPEMISMATCH;
            out->kind = Scalar::Kind::Empty;
            return S_OK;
        case VT_I2:
            out->kind = Scalar::Kind::Integer;
            out->integer = by_ref ? *src->piVal : src->iVal;
            return S_OK;
        case VT_I4:
            out->kind = Scalar::Kind::Integer;
            out->integer = by_ref ? *src->plVal : src->lVal;
            return S_OK;
        case VT_BOOL:
            out->kind = Scalar::Kind::Integer;
            out->integer = by_ref ? *src->pboolVal : src->boolVal;
            return S_OK;
        case VT_R8:
            out->kind = Scalar::Kind::Real;
            out->real = by_ref ? *src->pdblVal : src->dblVal;
            return S_OK;
        case VT_BSTR:
            out->kind = Scalar::Kind::Text;
            out->text = by_ref ? *src->pbstrVal : src->bstrVal;
            return S_OK;
        case VT_VARIANT:
            // One level of indirection only: a reference to a reference is not a value.
            if (!by_ref || (src->pvarVal->vt & VT_BYREF) != 0) return DISP_E_TYPEMISMATCH;
            return ReadScalar(src->pvarVal, out);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

bool IsBlank(OLECHAR c) {
    return c == u' ' || c == u'\t';
}

// A decimal number with an optional sign and fraction, blanks around it allowed.
HRESULT ParseNumber(BSTR text, double* out) {
    const UINT n = SysStringLen(text);
    UINT b = 0, e = n;
    while (b < e && IsBlank(text[b])) ++b;
    while (e > b && IsBlank(text[e - 1])) --e;
    std::string ascii;
    int digits = 0;
    bool point = false;
    for (UINT i = b; i < e; ++i) {
        const OLECHAR c = text[i];
        const bool sign = (c == u'-' || c == u'+') && i == b;
        if (c >= u'0' && c <= u'9') {
            ++digits;
        } else if (c == u'.' && !point) {
            point = true;
        } else if (!sign) {
            return DISP_E_TYPEMISMATCH;
        }
        ascii += static_cast<char>(c);
    }
    if (digits == 0) return DISP_E_TYPEMISMATCH;
    *out = std::strtod(ascii.c_str(), nullptr);
    return S_OK;
}

HRESULT ToLong(const Scalar& s, std::int32_t* out) {
    constexpr double kMin = std::numeric_limits<std::int32_t>::min();
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    double real = 0.0;
    switch (s.kind) {
        case Scalar::Kind::Empty:
            *out = 0;
            return S_OK;
        case Scalar::Kind::Integer:
            if (s.integer < kMin || s.integer > kMax) return DISP_E_OVERFLOW;
            *out = static_cast<std::int32_t>(s.integer);
            return S_OK;
        case Scalar::Kind::Real:
            real = s.real;
            break;
        case Scalar::Kind::Text: {
            const HRESULT hr = ParseNumber(s.text, &real);
            if (hr != S_OK) return hr;
            break;
        }
    }
    if (!std::isfinite(real)) return DISP_E_OVERFLOW;
    const double rounded = std::nearbyint(real);  // the default mode rounds half to even
    if (rounded < kMin || rounded > kMax) return DISP_E_OVERFLOW;
    *out = static_cast<std::int32_t>(rounded);
    return S_OK;
}

bool SameTextIgnoringCase(BSTR text, UINT b, UINT e, const char* word) {
    const std::size_t n = std::strlen(word);
    if (e - b != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        OLECHAR c = text[b + i];
        if (c >= u'A' && c <= u'Z') c = static_cast<OLECHAR>(c - u'A' + u'a');
        if (c != static_cast<OLECHAR>(word[i])) return false;
    }
    return true;
}

HRESULT ToBool(const Scalar& s, VARIANT_BOOL* out) {
    switch (s.kind) {
        case Scalar::Kind::Empty:
            *out = VARIANT_FALSE;
            return S_OK;
        case Scalar::Kind::Integer:
            *out = s.integer != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case Scalar::Kind::Real:
            *out = s.real != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case Scalar::Kind::Text: {
            UINT b = 0, e = SysStringLen(s.text);
            while (b < e && IsBlank(s.text[b])) ++b;
            while (e > b && IsBlank(s.text[e - 1])) --e;
            if (SameTextIgnoringCase(s.text, b, e, "true")) {
                *out = VARIANT_TRUE;
                return S_OK;
            }
            if (SameTextIgnoringCase(s.text, b, e, "false")) {
                *out = VARIANT_FALSE;
                return S_OK;
            }
            double real = 0.0;
            const HRESULT hr = ParseNumber(s.text, &real);
            if (hr != S_OK) return hr;
            *out = real != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT ToText(const Scalar& s, BSTR* out) {
    char buf[64] = {};
    switch (s.kind) {
        case Scalar::Kind::Empty:
            break;
        case Scalar::Kind::Integer:
            std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(s.integer));
            break;
        case Scalar::Kind::Real:
            std::snprintf(buf, sizeof buf, "%.15g", s.real);
            break;
        case Scalar::Kind::Text:
            if (s.text == nullptr) {
                *out = nullptr;
                return S_OK;
            }
            *out = SysAllocStringLen(s.text, SysStringLen(s.text));
            return *out == nullptr ? E_OUTOFMEMORY : S_OK;
    }
    *out = BstrFromAnsi(buf);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, VARTYPE vt) {
    Scalar s;
    HRESULT hr = ReadScalar(src, &s);
    if (hr != S_OK) return hr;
    switch (vt) {
        case VT_I4: {
            std::int32_t v = 0;
            hr = ToLong(s, &v);
            if (hr != S_OK) return hr;
            dest->vt = VT_I4;
            dest->lVal = v;
            return S_OK;
        }
        case VT_BOOL: {
            VARIANT_BOOL v = VARIANT_FALSE;
            hr = ToBool(s, &v);
            if (hr != S_OK) return hr;
            dest->vt = VT_BOOL;
            dest->boolVal = v;
            return S_OK;
        }
        case VT_BSTR: {
            BSTR v = nullptr;
            hr = ToText(s, &v);
            if (hr != S_OK) return hr;
            dest->vt = VT_BSTR;
            dest->bstrVal = v;
            return S_OK;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

}  // namespace platform
