// The simulated camera's device state and the command bodies that change it (see device_model.h).
// A body is parsed whole into fields and checked before anything is applied, so a malformed body
// never changes the state halfway. The time-driven changes happen lazily in Advance().
#include "apps/camera/device_model.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <optional>

namespace camera {

namespace {

constexpr int kMaxFieldValue = 1000000;  // larger numbers are refused rather than overflowed

struct Field {
    std::string_view name;
    std::string_view value;
};

// Splits "a=1&b=2" into fields. Trailing CR, LF and blanks are dropped first: the control ends
// every body with an empty line. Empty bodies, pieces without "=" or a name, and repeated names
// are malformed.
std::optional<std::vector<Field>> SplitFields(std::string_view body) {
    while (!body.empty() && (body.back() == '\r' || body.back() == '\n' || body.back() == ' ' ||
                             body.back() == '\t'))
        body.remove_suffix(1);
    if (body.empty()) return std::nullopt;
    std::vector<Field> fields;
    while (true) {
        std::size_t amp = body.find('&');
        std::string_view piece = body.substr(0, amp);
        std::size_t eq = piece.find('=');
        if (eq == std::string_view::npos || eq == 0) return std::nullopt;
        Field field{piece.substr(0, eq), piece.substr(eq + 1)};
        for (const Field& f : fields)
            if (f.name == field.name) return std::nullopt;
        fields.push_back(field);
        if (amp == std::string_view::npos) break;
        body.remove_prefix(amp + 1);
    }
    return fields;
}

std::optional<int> ParseInt(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    if (value > kMaxFieldValue || value < -kMaxFieldValue) return std::nullopt;
    return value;
}

const Field* FindField(const std::vector<Field>& fields, std::string_view name) {
    for (const Field& f : fields)
        if (f.name == name) return &f;
    return nullptr;
}

// True when every field is one of the allowed names.
bool OnlyFields(const std::vector<Field>& fields, std::initializer_list<std::string_view> allowed) {
    for (const Field& f : fields)
        if (std::find(allowed.begin(), allowed.end(), f.name) == allowed.end()) return false;
    return true;
}

// An optional integer field: absent gives the fallback, present but not a number gives nullopt.
std::optional<int> IntField(const std::vector<Field>& fields, std::string_view name, int fallback) {
    const Field* f = FindField(fields, name);
    return f ? ParseInt(f->value) : std::optional<int>(fallback);
}

std::optional<int> PresetNumber(const Field& field) {
    std::optional<int> n = ParseInt(field.value);
    if (!n || *n < 1 || *n > kPresetCount) return std::nullopt;
    return n;
}

int ClampPan(int pan) {
    return std::clamp(pan, kPanMinDegrees, kPanMaxDegrees);
}
int ClampTilt(int tilt) {
    return std::clamp(tilt, kTiltMinDegrees, kTiltMaxDegrees);
}

// Single-move direction codes: 0 sends the head home, 1..8 are the compass directions as seen in
// the picture, clockwise from up. Each entry is the sign of the pan and tilt step.
struct Step {
    int pan;
    int tilt;
};
constexpr std::array<Step, 9> kDirectionSteps = {{
    {0, 0},
    {0, 1},
    {1, 1},
    {1, 0},
    {1, -1},
    {0, -1},
    {-1, -1},
    {-1, 0},  // home, up .. left
    {-1, 1},  // up-left
}};
constexpr int kDirectionHome = 0;

}  // namespace

const char* to_string(CommandResult result) {
    switch (result) {
        case CommandResult::kApplied:
            return "applied";
        case CommandResult::kIgnored:
            return "ignored";
        case CommandResult::kMalformed:
            return "malformed";
    }
    return "unknown";
}

ClockFields ReadDeviceClock() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return ClockFields{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                       tm.tm_min,         tm.tm_sec,     tm.tm_wday};
}

std::string FormatClock(const ClockFields& c) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day,
                  c.hour, c.minute, c.second);
    return text;
}

void DeviceModel::Advance(Clock::time_point now) {
    const auto busy = std::chrono::milliseconds(kServiceBusyMs);
    if (state_.upload && now - upload_since_ >= busy) state_.upload = false;
    if (state_.email && now - email_since_ >= busy) state_.email = false;
    if (!state_.swing || now <= swing_since_) return;
    double seconds = std::chrono::duration<double>(now - swing_since_).count();
    swing_since_ = now;
    double travel = seconds * kSwingDegreesPerSecond;
    const double span = kPanMaxDegrees - kPanMinDegrees;
    travel = std::fmod(travel, 2 * span);  // a full sweep there and back changes nothing
    while (travel > 0) {
        double limit = swing_direction_ > 0 ? kPanMaxDegrees : kPanMinDegrees;
        double room = std::fabs(limit - swing_pan_);
        if (travel < room) {
            swing_pan_ += swing_direction_ * travel;
            break;
        }
        swing_pan_ = limit;
        travel -= room;
        swing_direction_ = -swing_direction_;
    }
    state_.pan = ClampPan(static_cast<int>(std::lround(swing_pan_)));
}

DeviceState DeviceModel::Snapshot(Clock::time_point now) {
    std::lock_guard lock(mu_);
    Advance(now);
    return state_;
}

std::vector<ReceivedCommand> DeviceModel::CommandLog() const {
    std::lock_guard lock(mu_);
    return {log_.begin(), log_.end()};
}

CommandResult DeviceModel::ApplyIoControl(std::string_view body, Clock::time_point now) {
    auto fields = SplitFields(body);
    if (!fields || !OnlyFields(*fields, {"Trigger1", "Trigger2", "ImageUpload", "ImageEmail"}))
        return CommandResult::kMalformed;
    std::vector<std::pair<std::string_view, bool>> changes;
    for (const Field& f : *fields) {
        std::optional<int> v = ParseInt(f.value);
        if (!v) return CommandResult::kMalformed;
        changes.emplace_back(f.name, *v != 0);
    }
    std::lock_guard lock(mu_);
    Advance(now);
    for (auto [name, on] : changes) {
        if (name == "Trigger1") state_.output1 = on;
        if (name == "Trigger2") state_.output2 = on;
        if (name == "ImageUpload") {
            state_.upload = on;
            upload_since_ = now;
        }
        if (name == "ImageEmail") {
            state_.email = on;
            email_since_ = now;
        }
    }
    return CommandResult::kApplied;
}

CommandResult DeviceModel::ApplyPanTilt(std::string_view body, Clock::time_point now) {
    auto parsed = SplitFields(body);
    if (!parsed) return CommandResult::kMalformed;
    const std::vector<Field>& fields = *parsed;
    constexpr std::array<std::string_view, 6> kActions = {
        "PanTiltSingleMove", "PanTiltPositionMove",       "SetPosition",
        "ClearPosition",     "PanTiltPresetPositionMove", "PanTiltSwingMode"};
    const Field* action = nullptr;
    for (std::string_view name : kActions) {
        if (const Field* f = FindField(fields, name)) {
            if (action) return CommandResult::kMalformed;  // one command per body
            action = f;
        }
    }
    if (!action) return CommandResult::kMalformed;

    std::lock_guard lock(mu_);
    Advance(now);
    const std::string_view name = action->name;
    if (name == "PanTiltSingleMove") {
        if (!OnlyFields(fields, {name, "PanSingleMoveDegree", "TiltSingleMoveDegree"}))
            return CommandResult::kMalformed;
        std::optional<int> code = ParseInt(action->value);
        std::optional<int> pan_step = IntField(fields, "PanSingleMoveDegree", kDefaultStepDegrees);
        std::optional<int> tilt_step =
            IntField(fields, "TiltSingleMoveDegree", kDefaultStepDegrees);
        if (!code || !pan_step || !tilt_step || *code < 0 ||
            *code >= static_cast<int>(kDirectionSteps.size()))
            return CommandResult::kMalformed;
        state_.swing = false;
        if (*code == kDirectionHome) {
            state_.pan = kHomePanDegrees;
            state_.tilt = kHomeTiltDegrees;
        } else {
            const Step& step = kDirectionSteps[static_cast<std::size_t>(*code)];
            state_.pan = ClampPan(state_.pan + step.pan * *pan_step);
            state_.tilt = ClampTilt(state_.tilt + step.tilt * *tilt_step);
        }
        return CommandResult::kApplied;
    }
    if (name == "PanTiltPositionMove" || name == "SetPosition") {
        const bool is_move = name == "PanTiltPositionMove";
        if (is_move
                ? !OnlyFields(fields, {name, "PanTiltHorizontal", "PanTiltVertical"})
                : !OnlyFields(fields, {name, "PanTiltHorizontal", "PanTiltVertical", "SetName"}))
            return CommandResult::kMalformed;
        const Field* h = FindField(fields, "PanTiltHorizontal");
        const Field* v = FindField(fields, "PanTiltVertical");
        std::optional<int> pan = h ? ParseInt(h->value) : std::nullopt;
        std::optional<int> tilt = v ? ParseInt(v->value) : std::nullopt;
        if (!pan || !tilt) return CommandResult::kMalformed;
        if (is_move) {
            if (action->value != "true" && action->value != "1") return CommandResult::kMalformed;
            state_.swing = false;
            state_.pan = ClampPan(*pan);
            state_.tilt = ClampTilt(*tilt);
            return CommandResult::kApplied;
        }
        std::optional<int> number = PresetNumber(*action);
        if (!number) return CommandResult::kMalformed;
        const Field* set_name = FindField(fields, "SetName");
        Preset& preset = state_.presets[static_cast<std::size_t>(*number - 1)];
        preset.stored = true;
        preset.pan = ClampPan(*pan);
        preset.tilt = ClampTilt(*tilt);
        preset.name = set_name ? std::string(set_name->value.substr(0, kMaxPresetNameBytes)) : "";
        return CommandResult::kApplied;
    }
    if (!OnlyFields(fields, {name})) return CommandResult::kMalformed;
    if (name == "PanTiltSwingMode") {
        std::optional<int> on = ParseInt(action->value);
        if (!on) return CommandResult::kMalformed;
        state_.swing = *on != 0;
        swing_since_ = now;
        swing_pan_ = state_.pan;
        return CommandResult::kApplied;
    }
    std::optional<int> number = PresetNumber(*action);
    if (!number) return CommandResult::kMalformed;
    Preset& preset = state_.presets[static_cast<std::size_t>(*number - 1)];
    if (name == "ClearPosition") {
        preset = Preset{};
        return CommandResult::kApplied;
    }
    if (!preset.stored) return CommandResult::kIgnored;
    state_.swing = false;
    state_.pan = preset.pan;
    state_.tilt = preset.tilt;
    return CommandResult::kApplied;
}

bool DeviceModel::SwitchOutput(int output, int state) {
    if (output != 1 && output != 2) return false;
    std::lock_guard lock(mu_);
    (output == 1 ? state_.output1 : state_.output2) = state != 0;
    return true;
}

void DeviceModel::CountConnection(Protocol protocol) {
    std::lock_guard lock(mu_);
    ++(protocol == Protocol::kHttp ? state_.http_connections : state_.native_connections);
}

void DeviceModel::CountRequest(Protocol protocol) {
    std::lock_guard lock(mu_);
    ++(protocol == Protocol::kHttp ? state_.http_requests : state_.native_messages);
}

void DeviceModel::CountFrame() {
    std::lock_guard lock(mu_);
    ++state_.frames_sent;
}

void DeviceModel::LogCommand(ReceivedCommand command) {
    std::lock_guard lock(mu_);
    if (log_.size() == kMaxLoggedCommands) log_.pop_front();
    log_.push_back(std::move(command));
}

}  // namespace camera
