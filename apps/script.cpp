// Script parsing and execution against a control's IDispatch. The members' kinds and parameter
// types come from the control's type information; a member whose work this build does not have
// yet is refused (the control says E_NOTIMPL) with a clear message rather than ignored.
#include "apps/script.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <istream>
#include <ostream>
#include <sstream>
#include <vector>

#include "commands/command_request.h"
#include "container/status_reader.h"
#include "platform/kernel.h"

namespace apps {
namespace {

using namespace platform;

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

// One function of the control as its type information describes it.
struct Function {
    DISPID id = 0;
    INVOKEKIND kind = INVOKE_FUNC;
    int param_count = 0;
    VARTYPE params[kMaxFuncParams] = {};
    std::string name;
};

// Owns a VARIANT's contents for the length of a statement.
struct OwnedVariant {
    VARIANT v;
    OwnedVariant() = default;
    OwnedVariant(const OwnedVariant&) = delete;
    OwnedVariant& operator=(const OwnedVariant&) = delete;
    ~OwnedVariant() { VariantClear(&v); }
};

constexpr std::uint32_t kWatchSliceMs = 50;        // a wait looks at the camera this often
constexpr std::uint32_t kCommandSettleMs = 30000;  // longest wait for commands at the end

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class Runner {
  public:
    Runner(IDispatch& control, std::ostream& out, CameraReport* report)
        : control_(control), out_(out), report_(report), status_(control) {
        LoadTypeInfo();
        host::QuorlinaStatus numbers;
        if (status_.Numbers(&numbers)) command_sequence_ = numbers.command_sequence;
    }

    void RunLine(int number, const std::string& line);
    // Tells what the camera did since the last look: an end of the script's session, a command
    // that failed.
    void Watch();
    // Waits (bounded) for the commands still under way, telling their outcome.
    void Settle();

  private:
    void LoadTypeInfo();
    void Note(const std::string& line);
    void Sleep(std::uint32_t ms);
    [[noreturn]] void Unreadable(const std::string& line);
    const Function& Resolve(const std::string& name, INVOKEKIND kind);
    void Invoke(const Function& f, WORD flags, std::vector<VARIANT>& args, bool put,
                VARIANT* result);

    IDispatch& control_;
    std::ostream& out_;
    CameraReport* report_;
    container::StatusReader status_;
    std::vector<Function> functions_;
    int line_ = 0;                       // the statement running now
    int play_line_ = 0;                  // the line of the Play whose session is watched; 0 none
    std::uint32_t play_sequence_ = 0;    // the status sequence just before that Play
    std::uint32_t command_sequence_ = 0; // the last command outcome already looked at
};

void Runner::Note(const std::string& line) {
    if (report_ == nullptr) return;
    report_->failed = true;
    if (report_->notes != nullptr) *report_->notes << report_->prefix << line << std::endl;
}

void Runner::Watch() {
    if (report_ == nullptr || !status_.Valid()) return;
    if (play_line_ != 0) {
        const container::StatusReading now = status_.Read();
        if (container::EndedSince(now, play_sequence_) &&
            now.reason != control::ReasonCode::StoppedByHost) {
            const bool retrying = now.state == control::SessionState::Retrying;
            Note("line " + std::to_string(play_line_) + ": the session started here " +
                 (retrying ? "failed an attempt and retries: " : "ended: ") +
                 (now.reason_text.empty() ? control::to_string(now.reason) : now.reason_text));
            play_line_ = 0;  // told once
        }
    }
    host::QuorlinaStatus numbers;
    if (status_.Numbers(&numbers) && numbers.command_sequence != command_sequence_) {
        command_sequence_ = numbers.command_sequence;
        if (numbers.command_status != commands::kCommandPosted)
            Note("command failed: " + status_.CommandText(nullptr));
    }
}

void Runner::Settle() {
    if (report_ == nullptr || !status_.Valid()) return;
    const platform::Tick t0 = platform::GetTickCount();
    host::QuorlinaStatus numbers;
    while (status_.Numbers(&numbers) && numbers.commands_pending > 0 &&
           platform::GetTickCount() - t0 < kCommandSettleMs) {
        Watch();
        platform::Sleep(kWatchSliceMs);
    }
    Watch();
}

void Runner::Sleep(std::uint32_t ms) {
    const platform::Tick t0 = platform::GetTickCount();
    for (;;) {
        Watch();
        const std::uint32_t passed = platform::GetTickCount() - t0;
        if (passed >= ms) return;
        platform::Sleep(std::min(ms - passed, kWatchSliceMs));
    }
}

// A line that is no statement; a bare member name gets the statement it was probably meant as.
void Runner::Unreadable(const std::string& line) {
    if (IsName(line)) {
        std::u16string wide = Utf16FromAnsi(line);
        OLECHAR* names[] = {wide.data()};
        DISPID id = DISPID_UNKNOWN;
        if (Succeeded(control_.GetIDsOfNames(IID_NULL, names, 1, kLocaleEnglishUs, &id))) {
            for (const Function& f : functions_) {
                if (f.id != id) continue;
                if (f.kind == INVOKE_FUNC)
                    throw ScriptError{"\"" + line + "\" is a method: did you mean " + f.name +
                                      "()?"};
                if (f.kind == INVOKE_PROPERTYGET)
                    throw ScriptError{"\"" + line + "\" is a property: did you mean print " +
                                      f.name + "?"};
            }
        }
    }
    throw ScriptError{"cannot read \"" + line + "\""};
}

void Runner::LoadTypeInfo() {
    ITypeInfo* info = nullptr;
    if (!Succeeded(control_.GetTypeInfo(0, kLocaleEnglishUs, &info)) || info == nullptr) return;
    TYPEATTR attr;
    if (Succeeded(info->GetTypeAttr(&attr))) {
        for (UINT i = 0; i < attr.cFuncs; ++i) {
            FUNCDESC desc;
            BSTR name = nullptr;
            UINT count = 0;
            if (!Succeeded(info->GetFuncDesc(i, &desc)) ||
                !Succeeded(info->GetFuncNames(i, &name, 1, &count)) || count != 1)
                continue;
            Function f;
            f.id = desc.memid;
            f.kind = desc.invkind;
            f.param_count = desc.cParams;
            for (int p = 0; p < desc.cParams && p < kMaxFuncParams; ++p)
                f.params[p] = desc.paramTypes[p];
            f.name = AnsiFromBstr(name);
            SysFreeString(name);
            functions_.push_back(std::move(f));
        }
    }
    info->Release();
}

const Function& Runner::Resolve(const std::string& name, INVOKEKIND kind) {
    if (!IsName(name)) throw ScriptError{"malformed name \"" + name + "\""};
    std::u16string wide = Utf16FromAnsi(name);
    OLECHAR* names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    if (!Succeeded(control_.GetIDsOfNames(IID_NULL, names, 1, kLocaleEnglishUs, &id)))
        throw ScriptError{"unknown member \"" + name + "\""};
    for (const Function& f : functions_)
        if (f.id == id && f.kind == kind) return f;
    const char* what = kind == INVOKE_FUNC          ? "a method"
                       : kind == INVOKE_PROPERTYGET ? "a readable property"
                                                    : "a writable property";
    throw ScriptError{"\"" + name + "\" is not " + what};
}

// args in parameter order; they are handed over last first, as Invoke takes them.
void Runner::Invoke(const Function& f, WORD flags, std::vector<VARIANT>& args, bool put,
                    VARIANT* result) {
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = reversed.empty() ? nullptr : reversed.data();
    params.cArgs = static_cast<UINT>(reversed.size());
    if (put) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    UINT arg_error = 0;
    const HRESULT hr = control_.Invoke(f.id, IID_NULL, kLocaleEnglishUs, flags, &params, result,
                                       nullptr, &arg_error);
    if (hr == E_NOTIMPL) throw ScriptError{"\"" + f.name + "\" is not available yet in this build"};
    if (hr < 0) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
        throw ScriptError{f.name + " failed with " + buf};
    }
}

std::string Format(const Function& f, const VARIANT& v) {
    std::ostringstream s;
    s << f.name << " = ";
    switch (v.vt) {
        case VT_I4:
            s << v.lVal;
            break;
        case VT_BOOL:
            s << v.boolVal;
            break;
        case VT_R8: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.2f", v.dblVal);
            s << buf;
            break;
        }
        case VT_BSTR:
            s << '"' << AnsiFromBstr(v.bstrVal) << '"';
            break;
        default:
            break;  // a getter that writes no result
    }
    return s.str();
}

VARIANT LongArg(std::int32_t value) {
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

void Runner::RunLine(int number, const std::string& line) {
    line_ = number;
    std::size_t space = line.find_first_of(" \t");
    const std::string word = Lower(line.substr(0, space));
    if (word == "print") {
        std::istringstream names(space == std::string::npos ? "" : line.substr(space));
        std::string name;
        bool any = false;
        while (names >> name) {
            const Function& f = Resolve(name, INVOKE_PROPERTYGET);
            std::vector<VARIANT> none;
            OwnedVariant result;
            Invoke(f, DISPATCH_PROPERTYGET, none, false, &result.v);
            out_ << Format(f, result.v) << "\n";
            any = true;
        }
        if (!any) throw ScriptError{"print needs at least one property name"};
        out_.flush();
        return;
    }
    if (word == "wait") {
        std::int32_t ms = ParseInteger(space == std::string::npos ? "" : line.substr(space));
        if (ms < 0) throw ScriptError{"wait needs a non-negative number of milliseconds"};
        Sleep(static_cast<std::uint32_t>(ms));
        return;
    }
    std::size_t eq = line.find('=');
    std::size_t paren = line.find('(');
    if (eq != std::string::npos && (paren == std::string::npos || eq < paren)) {
        const Function& f = Resolve(Trim(line.substr(0, eq)), INVOKE_PROPERTYPUT);
        std::string text = Trim(line.substr(eq + 1));
        OwnedVariant arg;
        if (f.params[0] == VT_BSTR) {
            arg.v.bstrVal = BstrFromAnsi(ParseString(text));
            arg.v.vt = VT_BSTR;
        } else if (f.params[0] == VT_BOOL) {
            arg.v.boolVal = ParseInteger(text) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            arg.v.vt = VT_BOOL;
        } else {
            arg.v = LongArg(ParseInteger(text));
        }
        std::vector<VARIANT> args{arg.v};
        Invoke(f, DISPATCH_PROPERTYPUT, args, true, nullptr);
        return;
    }
    if (paren != std::string::npos) {
        if (line.back() != ')') throw ScriptError{"malformed call: missing \")\""};
        const Function& f = Resolve(Trim(line.substr(0, paren)), INVOKE_FUNC);
        std::string inside = Trim(line.substr(paren + 1, line.size() - paren - 2));
        std::vector<VARIANT> args;
        if (!inside.empty()) {
            std::stringstream parts(inside);
            std::string part;
            while (std::getline(parts, part, ',')) args.push_back(LongArg(ParseInteger(part)));
        }
        if (static_cast<int>(args.size()) != f.param_count) {
            throw ScriptError{f.name + " takes " + std::to_string(f.param_count) +
                              " argument(s), " + std::to_string(args.size()) + " given"};
        }
        const bool play = Lower(f.name) == "play";
        const std::uint32_t before = status_.Read().sequence;
        OwnedVariant result;
        Invoke(f, DISPATCH_METHOD, args, false, &result.v);
        if (play) {
            play_line_ = line_;
            play_sequence_ = before;
        } else if (Lower(f.name) == "stop") {
            play_line_ = 0;
        }
        return;
    }
    Unreadable(line);
}

}  // namespace

bool RunScript(std::istream& script, platform::IDispatch& control, std::ostream& out,
               std::string* error, CameraReport* report) {
    Runner runner(control, out, report);
    std::string line;
    for (int number = 1; std::getline(script, line); ++number) {
        std::string statement = Trim(StripComment(line));
        if (statement.empty()) continue;
        try {
            runner.RunLine(number, statement);
        } catch (const ScriptError& e) {
            if (error) *error = "line " + std::to_string(number) + ": " + e.message;
            runner.Watch();
            return false;
        }
        runner.Watch();
    }
    if (script.bad()) {
        if (error) *error = "the script could not be read";
        return false;
    }
    runner.Settle();
    return true;
}

}  // namespace apps
