// Reply splitting and lookup. Each entry's texts are written cut and zero-filled, so a table never
// holds an unterminated name or value.
#include "commands/reply_fields.h"

#include <algorithm>
#include <cstring>

#include "stream/device_line.h"

namespace commands {
namespace {

void CopyCut(char (&out)[control::kReplyTextBytes], std::string_view text) {
    std::memset(out, 0, sizeof out);
    if (!text.empty())
        std::memcpy(out, text.data(), std::min<std::size_t>(text.size(), kMaxReplyTextChars));
}

// Adds one piece to the table; `final_piece` is the text after the last separator.
void AddPiece(control::ReplyTable* table, std::string_view piece, bool final_piece) {
    if (table->Count >= control::kReplyTableEntries) return;
    control::ReplyEntry& entry = table->Entries[table->Count];
    if (!piece.empty() && piece.front() == '[') {
        if (final_piece) return;
        CopyCut(entry.Name, piece);
        CopyCut(entry.Value, {});
        entry.Kind = control::kReplySection;
        ++table->Count;
        return;
    }
    const std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos) return;
    CopyCut(entry.Name, piece.substr(0, equals));
    CopyCut(entry.Value, piece.substr(equals + 1));
    entry.Kind = control::kReplyNameValue;
    ++table->Count;
}

// The 16-bit cut the device's numbers go through before they are stored.
std::int32_t ShortNumber(const char* text) {
    return static_cast<std::int16_t>(stream::DecimalValue(text));
}

}  // namespace

void SplitReplyFields(std::string_view text, std::string_view separator,
                      control::ReplyTable* table) {
    *table = control::ReplyTable{};
    text = text.substr(0, std::min(text.size(), text.find('\0')));
    if (!separator.empty()) {
        for (std::size_t end = text.find(separator); end != std::string_view::npos;
             end = text.find(separator)) {
            AddPiece(table, text.substr(0, end), false);
            text.remove_prefix(end + separator.size());
        }
    }
    AddPiece(table, text, true);
}

bool FindReplyValue(const control::ReplyTable& table, const char* name, char* out,
                    std::size_t size) {
    if (size == 0) return false;
    const int count = std::clamp(table.Count, 0, control::kReplyTableEntries);
    for (int i = 0; i < count; ++i) {
        const control::ReplyEntry& entry = table.Entries[i];
        if (entry.Kind != control::kReplyNameValue ||
            std::strncmp(entry.Name, name, control::kReplyTextBytes) != 0)
            continue;
        const std::size_t n = std::min(strnlen(entry.Value, control::kReplyTextBytes), size - 1);
        std::memcpy(out, entry.Value, n);
        out[n] = '\0';
        return true;
    }
    return false;
}

RealTimeFields ReadRealTimeFields(const control::ReplyTable& table) {
    char text[kLookupBufferBytes] = {};
    RealTimeFields f;
    FindReplyValue(table, "Trigger1", text, sizeof text);
    f.out1 = ShortNumber(text);
    FindReplyValue(table, "Trigger2", text, sizeof text);
    f.out2 = ShortNumber(text);
    FindReplyValue(table, "ImageUpload", text, sizeof text);
    f.upload = ShortNumber(text);
    FindReplyValue(table, "ImageEmail", text, sizeof text);
    f.email = ShortNumber(text);
    FindReplyValue(table, "CurrentTime", text, sizeof text);
    f.time = text;
    return f;
}

}  // namespace commands
