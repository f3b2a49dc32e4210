// The name=value fields of a command reply: splitting the reply text into a ReplyTable, looking a
// value up by name, and reading the status fields of the I/O status reply. Pure work on text and
// tables; which table the control publishes, and when, is command_workers'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "control/control_state.h"

namespace commands {

inline constexpr int kMaxReplyTextChars = control::kReplyTextBytes - 1;  // names and values
inline constexpr int kLookupBufferBytes = 128;  // the text buffer the status fields are read into

// Rebuilds table from text (up to its first NUL). A piece runs to the next separator; one that
// begins with "[" is a section entry (kind 2, the whole piece as name); otherwise the text before
// its first "=" is the name and the rest the value (kind 0). A piece without "=" is skipped. The
// piece after the last separator is stored only when it holds "=" and is no section. Names and
// values are cut to 63 characters; pieces beyond the table's 200 entries are dropped.
void SplitReplyFields(std::string_view text, std::string_view separator,
                      control::ReplyTable* table);

// Copies the value of the first kind-0 entry named exactly `name` into out (at most size - 1
// characters and a terminator). Returns false, leaving out unchanged, when no entry matches.
bool FindReplyValue(const control::ReplyTable& table, const char* name, char* out,
                    std::size_t size);

// The status fields of the I/O status reply. They are looked up in turn through one text buffer
// that starts empty; a field missing from the reply takes the text the previous lookup left.
struct RealTimeFields {
    std::int32_t out1 = 0;    // "Trigger1"
    std::int32_t out2 = 0;    // "Trigger2"
    std::int32_t upload = 0;  // "ImageUpload"
    std::int32_t email = 0;   // "ImageEmail"
    std::string time;         // "CurrentTime"
};
RealTimeFields ReadRealTimeFields(const control::ReplyTable& table);

}  // namespace commands
