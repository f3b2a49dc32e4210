// Script parsing and execution. Names resolve through the control's member table; a member whose
// work this build does not have yet is refused with a clear message rather than ignored.
#include "apps/script.h"

#include <cctype>
#include <cstdio>
#include <istream>
#include <ostream>
#include <sstream>
#include <vector>

#include "control/members.h"
#include "platform/kernel.h"

namespace apps {
namespace {

using control::Member;
using control::MemberKind;
using control::Value;
using control::ValueType;

struct ScriptError {
    std::string message;
};

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    std::size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Drops a "#" comment that is not inside a string.
std::string StripComment(const std::string& line) {
    bool in_string = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && in_string) {
            ++i;
        } else if (line[i] == '"') {
            in_string = !in_string;
        } else if (line[i] == '#' && !in_string) {
            return line.substr(0, i);
        }
    }
    return line;
}

bool IsName(const std::string& s) {
    if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

std::int32_t ParseInteger(const std::string& text) {
    std::string t = Trim(text);
    if (t.empty()) throw ScriptError{"missing number"};
    std::size_t used = 0;
    long long v;
    try {
        v = std::stoll(t, &used, 0);
    } catch (...) {
        throw ScriptError{"not a number: " + t};
    }
    if (used != t.size()) throw ScriptError{"not a number: " + t};
    if (v < INT32_MIN || v > UINT32_MAX) throw ScriptError{"number out of range: " + t};
    return static_cast<std::int32_t>(v);
}

std::string ParseString(const std::string& text) {
    std::string t = Trim(text);
    if (t.size() < 2 || t.front() != '"' || t.back() != '"')
        throw ScriptError{"malformed string: " + t};
    std::string out;
    for (std::size_t i = 1; i + 1 < t.size(); ++i) {
        if (t[i] == '\\' && i + 2 < t.size()) {
            char n = t[++i];
            out += n == 'n' ? '\n' : n;
        } else if (t[i] == '"') {
            throw ScriptError{"malformed string: " + t};
        } else {
            out += t[i];
        }
    }
    return out;
}

const Member& Resolve(const std::string& name, MemberKind kind) {
    if (!IsName(name)) throw ScriptError{"malformed name \"" + name + "\""};
    const Member* m = control::FindMember(name, kind);
    if (m == nullptr) {
        if (!control::HasMemberName(name)) throw ScriptError{"unknown member \"" + name + "\""};
        const char* what = kind == MemberKind::Method        ? "a method"
                           : kind == MemberKind::PropertyGet ? "a readable property"
                                                             : "a writable property";
        throw ScriptError{"\"" + name + "\" is not " + what};
    }
    if (m->accessor == nullptr)
        throw ScriptError{"\"" + std::string(m->name) + "\" is not available yet in this build"};
    return *m;
}

std::string Format(const Member& m, const Value& v) {
    std::ostringstream s;
    s << m.name << " = ";
    switch (v.type) {
        case ValueType::Long: s << v.long_value; break;
        case ValueType::Bool: s << v.bool_value; break;
        case ValueType::Double: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.2f", v.double_value);
            s << buf;
            break;
        }
        case ValueType::Text: s << '"' << v.text << '"'; break;
        case ValueType::None: break;
    }
    return s.str();
}

void Check(platform::HRESULT hr, const Member& m) {
    if (hr < 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
        throw ScriptError{std::string(m.name) + " failed with " + buf};
    }
}

void RunLine(const std::string& line, control::CQuorlina& c, std::ostream& out) {
    std::size_t space = line.find_first_of(" \t");
    std::string word = line.substr(0, space);
    if (word == "print") {
        std::istringstream names(space == std::string::npos ? "" : line.substr(space));
        std::string name;
        bool any = false;
        while (names >> name) {
            const Member& m = Resolve(name, MemberKind::PropertyGet);
            Value v;
            Check(m.accessor(c, nullptr, &v), m);
            out << Format(m, v) << "\n";
            any = true;
        }
        if (!any) throw ScriptError{"print needs at least one property name"};
        out.flush();
        return;
    }
    if (word == "wait") {
        std::int32_t ms = ParseInteger(space == std::string::npos ? "" : line.substr(space));
        if (ms < 0) throw ScriptError{"wait needs a non-negative number of milliseconds"};
        platform::Sleep(static_cast<std::uint32_t>(ms));
        return;
    }
    std::size_t eq = line.find('=');
    std::size_t paren = line.find('(');
    if (eq != std::string::npos && (paren == std::string::npos || eq < paren)) {
        const Member& m = Resolve(Trim(line.substr(0, eq)), MemberKind::PropertyPut);
        std::string text = Trim(line.substr(eq + 1));
        Value arg;
        if (m.params[0] == ValueType::Text) {
            arg = Value::Text(ParseString(text));
        } else if (m.params[0] == ValueType::Bool) {
            arg = Value::Bool(static_cast<std::int16_t>(ParseInteger(text) != 0 ? -1 : 0));
        } else {
            arg = Value::Long(ParseInteger(text));
        }
        Value result;
        Check(m.accessor(c, &arg, &result), m);
        return;
    }
    if (paren != std::string::npos) {
        if (line.back() != ')') throw ScriptError{"malformed call: missing \")\""};
        const Member& m = Resolve(Trim(line.substr(0, paren)), MemberKind::Method);
        std::string inside = Trim(line.substr(paren + 1, line.size() - paren - 2));
        std::vector<Value> args;
        if (!inside.empty()) {
            std::stringstream parts(inside);
            std::string part;
            while (std::getline(parts, part, ',')) args.push_back(Value::Long(ParseInteger(part)));
        }
        if (static_cast<int>(args.size()) != m.param_count) {
            throw ScriptError{std::string(m.name) + " takes " + std::to_string(m.param_count) +
                              " argument(s), " + std::to_string(args.size()) + " given"};
        }
        Value result;
        Check(m.accessor(c, args.data(), &result), m);
        return;
    }
    throw ScriptError{"cannot read \"" + line + "\""};
}

}  // namespace

bool RunScript(std::istream& script, control::CQuorlina& c, std::ostream& out,
               std::string* error) {
    std::string line;
    for (int number = 1; std::getline(script, line); ++number) {
        std::string statement = Trim(StripComment(line));
        if (statement.empty()) continue;
        try {
            RunLine(statement, c, out);
        } catch (const ScriptError& e) {
            if (error) *error = "line " + std::to_string(number) + ": " + e.message;
            return false;
        }
    }
    return true;
}

}  // namespace apps
