// Device line parsing: each field is read from just after the previous separator.
#include "stream/device_line.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/kernel.h"

namespace stream {

std::int32_t DecimalValue(const char* text) {
    while (*text == ' ') ++text;
    bool negative = false;
    if (*text == '-' || *text == '+') negative = *text++ == '-';
    std::int64_t v = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        v = v * 10 + (*text - '0');
        if (v > INT32_MAX) v = INT32_MAX;  // saturate rather than overflow on long digit runs
    }
    return static_cast<std::int32_t>(negative ? -v : v);
}

namespace {

// The text from `from` up to the next `sep`; false when the separator is missing.
bool Field(const char*& from, char sep, std::string& out) {
    const char* end = std::strchr(from, sep);
    if (end == nullptr) return false;
    out.assign(from, end);
    from = end + 1;
    return true;
}

// A clock field other than the year is converted only when it has 1 or 2 characters.
void ShortField(const std::string& text, bool& has, std::int32_t& value) {
    if (text.size() >= 1 && text.size() <= 2) {
        has = true;
        value = DecimalValue(text.c_str());
    }
}

}  // namespace

DeviceLine ParseDeviceLine(const char* input) {
    DeviceLine line;
    char buf[kDeviceLineMaxChars + 1] = {};
    std::strncpy(buf, input, kDeviceLineMaxChars);
    const char* p = std::strchr(buf, ':');
    if (p == nullptr) return line;
    ++p;
    std::string f;
    if (!Field(p, '-', f)) return line;
    if (!f.empty()) {
        line.has_year = true;
        line.year = DecimalValue(f.c_str());
    }
    if (!Field(p, '-', f)) return line;
    ShortField(f, line.has_month, line.month);
    if (!Field(p, ' ', f)) return line;
    ShortField(f, line.has_day, line.day);
    if (!Field(p, ':', f)) return line;
    ShortField(f, line.has_hour, line.hour);
    if (!Field(p, ':', f)) return line;
    ShortField(f, line.has_minute, line.minute);
    if (!Field(p, ' ', f)) return line;
    ShortField(f, line.has_second, line.second);
    line.clock_complete = true;

    const char* o = std::strstr(p, "O_");
    if (o == nullptr) return line;
    o += 2;
    if (strnlen(o, 8) < 8) return line;
    auto digit = [](char c) {
        char s[2] = {c, 0};
        return DecimalValue(s);
    };
    line.has_states = true;
    line.email = digit(o[4]);
    line.upload = digit(o[5]);
    line.out2 = digit(o[6]);
    line.out1 = digit(o[7]);
    p = o + 8;

    const char* pt = std::strstr(p, "PT_");
    if (pt == nullptr) return line;
    pt += 3;
    const char* sep = std::strchr(pt, '_');
    if (sep == nullptr) {
        line.pan_tilt_separator_missing = true;
        return line;
    }
    std::string pan(pt, sep);
    if (pan.size() >= 1 && pan.size() <= 3) {
        line.has_pan = true;
        line.pan = DecimalValue(pan.c_str());
        line.pan_is_000 = pan == "000";
    }
    if (sep[1] != '\0') {
        std::string tilt(sep + 1, strnlen(sep + 1, 3));
        line.has_tilt = true;
        line.tilt = DecimalValue(tilt.c_str());
    }
    return line;
}

void ApplyDeviceLine(control::ControlState& c, const DeviceLine& line, const char* text) {
    auto& clock = c.DeviceClock;
    if (line.has_year) clock.Year = line.year;
    if (line.has_month) clock.Month = line.month;
    if (line.has_day) clock.Day = line.day;
    if (line.has_hour) clock.Hour = line.hour;
    if (line.has_minute) clock.Minute = line.minute;
    if (line.has_second) clock.Second = line.second;
    if (line.clock_complete) {
        char formatted[64];
        std::snprintf(formatted, sizeof formatted, "%04d-%02d-%02d %02d:%02d:%02d",
                      clock.Year.load(), clock.Month.load(), clock.Day.load(), clock.Hour.load(),
                      clock.Minute.load(), clock.Second.load());
        c.TimeString.SetIfDifferent(formatted);
    }
    if (line.has_states) {
        auto store = [](std::atomic<std::int32_t>& field, std::int32_t v) {
            if (field.load() != v) field.store(v);
        };
        store(c.EmailImage, line.email);
        store(c.ImageUpload, line.upload);
        store(c.IOOut2, line.out2);
        store(c.IOOut1, line.out1);
    }
    if (line.pan_tilt_separator_missing) platform::Sleep(10);
    if (line.has_pan) {
        if (line.pan_is_000) platform::OutputDebugStringA(text);
        c.GetHorizontalPosition = line.pan;
    }
    if (line.has_tilt) c.GetVerticalPosition = line.tilt;
}

}  // namespace stream
