// Reply splitting, value lookup and the status fields of the I/O status reply.
#include "commands/reply_fields.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace commands;
using control::ReplyTable;

namespace {

struct Entry {
    std::string name, value;
    int kind;
    bool operator==(const Entry&) const = default;
};

std::vector<Entry> Entries(const ReplyTable& t) {
    std::vector<Entry> out;
    for (int i = 0; i < t.Count; ++i)
        out.push_back({t.Entries[i].Name, t.Entries[i].Value, t.Entries[i].Kind});
    return out;
}

std::unique_ptr<ReplyTable> Split(std::string_view text, std::string_view separator = "&") {
    auto t = std::make_unique<ReplyTable>();
    SplitReplyFields(text, separator, t.get());
    return t;
}

void PrintTo(const Entry& e, std::ostream* os) {
    *os << e.name << "=" << e.value << "/" << e.kind;
}

}  // namespace

TEST(SplitReplyFields, PiecesBecomeEntries) {
    using namespace std::string_literals;
    struct Row {
        std::string text;
        const char* separator;
        std::vector<Entry> expected;
    };
    const Row rows[] = {
        {"a=1&b=2", "&", {{"a", "1", 0}, {"b", "2", 0}}},
        {"a=1&b=", "&", {{"a", "1", 0}, {"b", "", 0}}},
        {"x=y=z", "&", {{"x", "y=z", 0}}},
        {"=v", "&", {{"", "v", 0}}},
        {"[Video]&a=1", "&", {{"[Video]", "", 2}, {"a", "1", 0}}},
        {"[a=b]&c=1", "&", {{"[a=b]", "", 2}, {"c", "1", 0}}},  // a section even with "="
        {"a=1&[Tail]", "&", {{"a", "1", 0}}},                   // final section: not stored
        {"a=1&tail", "&", {{"a", "1", 0}}},                     // final piece without "="
        {"a=1&", "&", {{"a", "1", 0}}},
        {"a=1&plain&b=2", "&", {{"a", "1", 0}, {"b", "2", 0}}},  // no "=": skipped
        {"a=1&&b=2", "&", {{"a", "1", 0}, {"b", "2", 0}}},
        {"", "&", {}},
        {"a=1\0b=2&c=3"s, "&", {{"a", "1", 0}}},  // the text ends at its first NUL
        {"a=1\r\nb=2\r\n", "\r\n", {{"a", "1", 0}, {"b", "2", 0}}},
        {"a=1&b=2", "", {{"a", "1&b=2", 0}}},  // no separator: one final piece
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(Entries(*Split(r.text, r.separator)), r.expected);
    }
}

TEST(SplitReplyFields, NamesAndValuesKeepAtMost63Characters) {
    const std::string n63(63, 'n'), v63(63, 'v');
    auto t = Split(n63 + "=" + v63 + "&" + n63 + "N=" + v63 + "V");
    ASSERT_EQ(t->Count, 2);
    EXPECT_EQ(std::string(t->Entries[0].Name), n63);
    EXPECT_EQ(std::string(t->Entries[0].Value), v63);
    EXPECT_EQ(std::string(t->Entries[1].Name), n63);
    EXPECT_EQ(std::string(t->Entries[1].Value), v63);
    auto section = Split("[" + std::string(80, 's') + "]&a=1");
    EXPECT_EQ(std::string(section->Entries[0].Name).size(), 63u);
}

TEST(SplitReplyFields, TableHoldsAtMost200Entries) {
    for (int pieces : {199, 200, 201, 250}) {
        SCOPED_TRACE(pieces);
        std::string text;
        for (int i = 0; i < pieces; ++i)
            text += "k" + std::to_string(i) + "=" + std::to_string(i) + "&";
        auto t = Split(text);
        EXPECT_EQ(t->Count, std::min(pieces, 200));
        EXPECT_STREQ(t->Entries[t->Count - 1].Name, ("k" + std::to_string(t->Count - 1)).c_str());
    }
}

TEST(SplitReplyFields, RebuildsTheTableFromScratch) {
    auto t = Split("a=1&b=2&c=3");
    SplitReplyFields("z=9", "&", t.get());
    ASSERT_EQ(t->Count, 1);
    EXPECT_STREQ(t->Entries[0].Name, "z");
    EXPECT_EQ(t->Entries[1].Name[0], '\0');
}

TEST(FindReplyValue, FirstExactNameValueMatch) {
    auto t = Split("[a]&a=1&a=2&Beta=long value&b=");
    struct Row {
        const char* name;
        std::size_t size;
        bool found;
        const char* out;  // what out holds afterwards; it starts as "old"
    };
    const Row rows[] = {
        {"a", 16, true, "1"},       // the first of two
        {"A", 16, false, "old"},    // case-sensitive; out unchanged
        {"[a]", 16, false, "old"},  // section entries are not looked at
        {"Beta", 16, true, "long value"},
        {"Beta", 5, true, "long"},  // size - 1 characters and a terminator
        {"b", 16, true, ""},
        {"Bet", 16, false, "old"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        char out[16] = "old";
        EXPECT_EQ(FindReplyValue(*t, r.name, out, r.size), r.found);
        EXPECT_STREQ(out, r.out);
    }
    char untouched[4] = "old";
    EXPECT_FALSE(FindReplyValue(*t, "a", untouched, 0));
    EXPECT_STREQ(untouched, "old");
}

TEST(ReadRealTimeFields, MissingFieldsTakeThePreviousText) {
    struct Row {
        const char* reply;
        int out1, out2, upload, email;
        const char* time;
    };
    const Row rows[] = {
        {"Trigger1=1&Trigger2=0&ImageUpload=1&ImageEmail=0&CurrentTime=2005-08-08 08:46:01", 1, 0,
         1, 0, "2005-08-08 08:46:01"},
        {"Trigger1=1&Trigger2=0&CurrentTime=12:00", 1, 0, 0, 0, "12:00"},
        {"Trigger1=1&Trigger2=7&CurrentTime=12:00", 1, 7, 7, 7, "12:00"},
        {"ImageEmail=3", 0, 0, 0, 3, "3"},
        {"", 0, 0, 0, 0, ""},
        {"Trigger1=65537&Trigger2=40000&ImageUpload=-1&ImageEmail=x", 1, -25536, -1, 0, "x"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.reply);
        const RealTimeFields f = ReadRealTimeFields(*Split(r.reply));
        EXPECT_EQ(f.out1, r.out1);
        EXPECT_EQ(f.out2, r.out2);
        EXPECT_EQ(f.upload, r.upload);
        EXPECT_EQ(f.email, r.email);
        EXPECT_EQ(f.time, r.time);
    }
}
