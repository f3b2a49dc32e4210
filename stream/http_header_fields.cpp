// Header field reading. Letter case is compared in ASCII, never through the locale: these are
// protocol texts. A value never runs past its line, and every copy is cut to its caller's limit.
#include "stream/http_header_fields.h"

#include <cstring>

namespace stream {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The first n characters of text equal word (letter case ignored); text may be shorter.
bool StartsNoCase(const char* text, const char* word, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (text[i] == '\0' || Lower(text[i]) != Lower(word[i])) return false;
    return true;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

bool IsLineEnd(char c) {
    return c == '\0' || c == '\r' || c == '\n';
}

void SkipSpaces(const char*& p) {
    while (IsSpace(*p)) ++p;
}

std::string Cut(std::string text, std::size_t max_chars) {
    if (text.size() > max_chars) text.resize(max_chars);
    return text;
}

}  // namespace

std::size_t HeaderLineLength(const char* text) {
    const char* crlf = std::strstr(text, "\r\n");
    return crlf ? static_cast<std::size_t>(crlf - text) : std::strlen(text);
}

const char* FindHeaderField(const char* block, const char* name) {
    const std::size_t n = std::strlen(name);
    for (const char* line = block; line != nullptr && *line != '\0';) {
        if (StartsNoCase(line, name, n) && line[n] == ':') {
            const char* value = line + n + 1;
            SkipSpaces(value);
            return value;
        }
        const char* crlf = std::strstr(line, "\r\n");
        line = crlf ? crlf + 2 : nullptr;
    }
    return nullptr;
}

std::string MultipartBoundary(const char* value, std::size_t max_chars) {
    static constexpr char kType[] = "multipart/x-mixed-replace";
    const char* p = value;
    if (!StartsNoCase(p, kType, sizeof kType - 1)) return {};
    p += sizeof kType - 1;
    for (;;) {
        SkipSpaces(p);
        if (*p != ';') return {};
        ++p;
        SkipSpaces(p);
        const char* name = p;
        while (!IsLineEnd(*p) && !IsSpace(*p) && *p != '=' && *p != ';') ++p;
        const std::size_t name_chars = static_cast<std::size_t>(p - name);
        SkipSpaces(p);
        if (*p != '=') return {};
        ++p;
        SkipSpaces(p);
        std::string text;
        if (*p == '"') {
            for (++p; *p != '"'; ++p) {
                if (*p == '\\' && !IsLineEnd(p[1])) ++p;
                if (IsLineEnd(*p)) return {};  // a quoted string that never closes
                text += *p;
            }
            ++p;
        } else {
            // Up to the next parameter or the line's end: servers put characters a strict token
            // would not allow (":", "/", even spaces) in unquoted boundaries.
            while (!IsLineEnd(*p) && *p != ';') text += *p++;
            while (!text.empty() && IsSpace(text.back())) text.pop_back();
        }
        if (name_chars == 8 && StartsNoCase(name, "boundary", 8)) return Cut(text, max_chars);
    }
}

std::string DelimiterBoundary(const char* block, std::size_t max_chars) {
    const char* p = block;
    while (p[0] == '\r' && p[1] == '\n') p += 2;
    if (p[0] != '-' || p[1] != '-') return {};
    p += 2;
    std::size_t n = HeaderLineLength(p);
    while (n > 0 && IsSpace(p[n - 1])) --n;
    return Cut(std::string(p, n), max_chars);
}

bool IsChunkedCoding(const char* value) {
    static constexpr char kChunked[] = "chunked";
    for (const char* p = value; !IsLineEnd(*p);) {
        SkipSpaces(p);
        const char* coding = p;
        while (!IsLineEnd(*p) && *p != ',') ++p;
        const char* end = p;
        while (end > coding && IsSpace(end[-1])) --end;
        if (static_cast<std::size_t>(end - coding) == sizeof kChunked - 1 &&
            StartsNoCase(coding, kChunked, sizeof kChunked - 1))
            return true;
        if (*p == ',') ++p;
    }
    return false;
}

}  // namespace stream
