// Component-object basics: GUID text forms, BSTR layout and its ISO-8859-1 conversions, the
// automation coercions, and the in-memory stream and storage.
#include "platform/com.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "platform/memory_storage.h"

using namespace platform;

TEST(Guid, ParsesAndFormatsTheBracedForm) {
    GUID g;
    ASSERT_TRUE(ParseGuid("{3af24292-0C96-11ce-A0CF-00AA00600AB8}", &g));
    EXPECT_EQ(g, IID_IViewObjectEx);
    EXPECT_EQ(FormatGuid(g), "{3AF24292-0C96-11CE-A0CF-00AA00600AB8}");
    EXPECT_EQ(FormatGuid(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
}

TEST(Guid, RefusesMalformedText) {
    const char* rows[] = {
        "",
        "3AF24292-0C96-11CE-A0CF-00AA00600AB8",     // no braces
        "{3AF24292-0C96-11CE-A0CF-00AA00600AB}",    // one digit short
        "{3AF24292-0C96-11CE-A0CF-00AA00600AB8 }",  // one too long
        "{3AF24292+0C96-11CE-A0CF-00AA00600AB8}",   // wrong separator
        "{3AF2429G-0C96-11CE-A0CF-00AA00600AB8}",   // not a hex digit
    };
    for (const char* row : rows) {
        SCOPED_TRACE(row);
        GUID g = IID_IDispatch;
        EXPECT_FALSE(ParseGuid(row, &g));
        EXPECT_EQ(g, IID_IDispatch);  // untouched
    }
}

TEST(Bstr, HoldsItsByteLengthBeforeTheTextAndAZeroAfter) {
    const char16_t text[] = u"a\0b";
    BSTR s = SysAllocStringLen(text, 3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 3u);
    std::uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
    EXPECT_EQ(prefix, 6u);
    EXPECT_EQ(s[1], u'\0');
    EXPECT_EQ(s[3], u'\0');
    SysFreeString(s);

    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    SysFreeString(nullptr);
    BSTR zeroed = SysAllocStringLen(nullptr, 2);
    EXPECT_EQ(zeroed[0], u'\0');
    EXPECT_EQ(SysStringLen(zeroed), 2u);
    SysFreeString(zeroed);
}

TEST(Bstr, ConvertsThroughIso88591WithQuestionMarksForTheRest) {
    struct Row {
        std::u16string wide;
        std::string ansi;
    };
    const Row rows[] = {
        {u"RemoteHost", "RemoteHost"},
        {u"caf\u00E9 \u00FF", "caf\xE9 \xFF"},
        {u"\u4E2D!", "?!"},
        {u"x\U0001F600y", "x?y"},  // a surrogate pair is one character
        {u"\xD800z", "?z"},        // a lone surrogate
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ansi);
        BSTR s = SysAllocStringLen(row.wide.data(), static_cast<UINT>(row.wide.size()));
        EXPECT_EQ(AnsiFromBstr(s), row.ansi);
        SysFreeString(s);
    }
    BSTR back = BstrFromAnsi("\xE9\x80");
    ASSERT_EQ(SysStringLen(back), 2u);
    EXPECT_EQ(back[0], 0xE9);
    EXPECT_EQ(back[1], 0x80);
    SysFreeString(back);
    EXPECT_EQ(AnsiFromBstr(nullptr), "");
}

namespace {

VARIANT Long(std::int32_t v) {
    VARIANT r;
    r.vt = VT_I4;
    r.lVal = v;
    return r;
}
VARIANT Real(double v) {
    VARIANT r;
    r.vt = VT_R8;
    r.dblVal = v;
    return r;
}
VARIANT Short(std::int16_t v) {
    VARIANT r;
    r.vt = VT_I2;
    r.iVal = v;
    return r;
}
VARIANT Bool(VARIANT_BOOL v) {
    VARIANT r;
    r.vt = VT_BOOL;
    r.boolVal = v;
    return r;
}

// Owns the BSTR of a text variant.
struct TextVariant {
    VARIANT v;
    explicit TextVariant(const char* text) {
        v.vt = VT_BSTR;
        v.bstrVal = text == nullptr ? nullptr : BstrFromAnsi(text);
    }
    ~TextVariant() { VariantClear(&v); }
};

}  // namespace

TEST(VariantChangeType, CoercesToLongAsAutomationDoes) {
    TextVariant twelve(" 12 "), half("2.5"), minus("-7"), word("seven"), empty(""), big("3e9");
    struct Row {
        const char* what;
        VARIANT src;
        HRESULT hr;
        std::int32_t value;
    };
    const Row rows[] = {
        {"I4", Long(-5), S_OK, -5},
        {"I2 widens", Short(-300), S_OK, -300},
        {"BOOL true", Bool(VARIANT_TRUE), S_OK, -1},
        {"R8 2.5 rounds to even", Real(2.5), S_OK, 2},
        {"R8 3.5 rounds to even", Real(3.5), S_OK, 4},
        {"R8 -1.6", Real(-1.6), S_OK, -2},
        {"R8 too large", Real(3e9), DISP_E_OVERFLOW, 0},
        {"R8 NaN", Real(std::nan("")), DISP_E_OVERFLOW, 0},
        {"BSTR with blanks", twelve.v, S_OK, 12},
        {"BSTR fraction", half.v, S_OK, 2},
        {"BSTR negative", minus.v, S_OK, -7},
        {"BSTR word", word.v, DISP_E_TYPEMISMATCH, 0},
        {"BSTR empty", empty.v, DISP_E_TYPEMISMATCH, 0},
        {"BSTR exponent", big.v, DISP_E_TYPEMISMATCH, 0},
        {"EMPTY", VARIANT{}, S_OK, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        VARIANT out;
        EXPECT_EQ(VariantChangeType(&out, &row.src, VT_I4), row.hr);
        if (row.hr == S_OK) {
            EXPECT_EQ(out.vt, VT_I4);
            EXPECT_EQ(out.lVal, row.value);
        }
    }
}

TEST(VariantChangeType, CoercesToBoolAndText) {
    TextVariant yes("TRUE"), no(" false "), two("2"), maybe("maybe");
    struct Row {
        const char* what;
        VARIANT src;
        HRESULT hr;
        VARIANT_BOOL value;
    };
    const Row rows[] = {
        {"I4 zero", Long(0), S_OK, VARIANT_FALSE},
        {"I4 five", Long(5), S_OK, VARIANT_TRUE},
        {"R8", Real(0.5), S_OK, VARIANT_TRUE},
        {"True", yes.v, S_OK, VARIANT_TRUE},
        {"false", no.v, S_OK, VARIANT_FALSE},
        {"number text", two.v, S_OK, VARIANT_TRUE},
        {"other text", maybe.v, DISP_E_TYPEMISMATCH, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        VARIANT out;
        EXPECT_EQ(VariantChangeType(&out, &row.src, VT_BOOL), row.hr);
        if (row.hr == S_OK) {
            EXPECT_EQ(out.boolVal, row.value);
        }
    }

    struct TextRow {
        VARIANT src;
        const char* text;
    };
    const TextRow texts[] = {
        {Long(-42), "-42"}, {Bool(VARIANT_TRUE), "-1"}, {Real(0.1), "0.1"}, {VARIANT{}, ""}};
    for (const TextRow& row : texts) {
        SCOPED_TRACE(row.text);
        VARIANT out;
        ASSERT_EQ(VariantChangeType(&out, &row.src, VT_BSTR), S_OK);
        ASSERT_EQ(out.vt, VT_BSTR);
        ASSERT_NE(out.bstrVal, nullptr);
        EXPECT_EQ(AnsiFromBstr(out.bstrVal), row.text);
        VariantClear(&out);
    }
    TextVariant null_text(nullptr);
    VARIANT out;
    ASSERT_EQ(VariantChangeType(&out, &null_text.v, VT_BSTR), S_OK);
    EXPECT_EQ(out.bstrVal, nullptr);  // the null string stays null
}

TEST(VariantChangeType, FollowsOneReference) {
    std::int32_t target = 77;
    VARIANT by_ref;
    by_ref.vt = VT_BYREF | VT_I4;
    by_ref.plVal = &target;
    VARIANT out;
    ASSERT_EQ(VariantChangeType(&out, &by_ref, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 77);

    VARIANT inner = Real(4.4);
    VARIANT by_variant;
    by_variant.vt = VT_BYREF | VT_VARIANT;
    by_variant.pvarVal = &inner;
    ASSERT_EQ(VariantChangeType(&out, &by_variant, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 4);

    VARIANT twice;
    twice.vt = VT_BYREF | VT_VARIANT;
    twice.pvarVal = &by_variant;
    EXPECT_EQ(VariantChangeType(&out, &twice, VT_I4), DISP_E_TYPEMISMATCH);

    VARIANT null_ref;
    null_ref.vt = VT_BYREF | VT_I4;
    null_ref.plVal = nullptr;
    EXPECT_EQ(VariantChangeType(&out, &null_ref, VT_I4), E_INVALIDARG);

    VARIANT unknown;
    unknown.vt = 9;  // an object reference: never a scalar
    EXPECT_EQ(VariantChangeType(&out, &unknown, VT_I4), DISP_E_TYPEMISMATCH);
}

TEST(MemoryStorage, StreamsShareBytesAndKeepTheirOwnPosition) {
    IStorage* storage = CreateMemoryStorage();
    IStream* missing = reinterpret_cast<IStream*>(1);
    EXPECT_EQ(storage->OpenStream(u"Contents", &missing), STG_E_FILENOTFOUND);
    EXPECT_EQ(missing, nullptr);

    IStream* writer = nullptr;
    ASSERT_EQ(storage->CreateStream(u"Contents", &writer), S_OK);
    ULONG written = 0;
    ASSERT_EQ(writer->Write("abcdef", 6, &written), S_OK);
    EXPECT_EQ(written, 6u);

    IStream* reader = nullptr;
    ASSERT_EQ(storage->OpenStream(u"Contents", &reader), S_OK);
    char buf[8] = {};
    ULONG read = 0;
    ASSERT_EQ(reader->Read(buf, 4, &read), S_OK);
    EXPECT_EQ(std::string(buf, read), "abcd");
    ASSERT_EQ(reader->Read(buf, 8, &read), S_OK);  // past the end reads fewer
    EXPECT_EQ(std::string(buf, read), "ef");
    std::uint64_t position = 0;
    EXPECT_EQ(reader->Seek(-3, STREAM_SEEK_END, &position), S_OK);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(reader->Seek(-4, STREAM_SEEK_CUR, &position), E_INVALIDARG);

    // Creating it again empties it for every reader.
    IStream* again = nullptr;
    ASSERT_EQ(storage->CreateStream(u"Contents", &again), S_OK);
    IStream* fresh = nullptr;
    ASSERT_EQ(storage->OpenStream(u"Contents", &fresh), S_OK);
    ASSERT_EQ(fresh->Read(buf, 8, &read), S_OK);
    EXPECT_EQ(read, 0u);

    for (IUnknown* p : {static_cast<IUnknown*>(writer), static_cast<IUnknown*>(reader),
                        static_cast<IUnknown*>(again), static_cast<IUnknown*>(fresh),
                        static_cast<IUnknown*>(storage)})
        EXPECT_EQ(p->Release(), 0u);
}
