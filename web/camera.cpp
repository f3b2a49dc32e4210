// The control thread (tasks, message pump, play policy, property polling, status) and the
// capture thread (change count, forward or encode, publish).
#include "web/camera.h"

#include <cctype>

#include "platform/kernel.h"
#include "web/console.h"
#include "web/frame_codec.h"

namespace web {

using nlohmann::json;

std::string FrameTag(const std::string& camera) {
    std::string tag(1, static_cast<char>(camera.size()));
    return tag + camera;
}

Camera::Camera(CameraConfig config, const TypeLib& types, CameraSinks sinks, CameraOptions options)
    : config_(std::move(config)),
      types_(types),
      sinks_(std::move(sinks)),
      options_(options),
      tag_(FrameTag(config_.name)) {
    summary_ = {{"name", config_.name}, {"target", TargetWithoutCredentials(config_.target)},
                {"state", "idle"},      {"reason", ""},
                {"retry_in", 0},        {"play", to_string(config_.play)}};
}

Camera::~Camera() {
    Shutdown();
}

void Camera::Start() {
    control_thread_ = std::thread([this] { ControlLoop(); });
    capture_thread_ = std::thread([this] { CaptureLoop(); });
}

void Camera::BeginShutdown() {
    stopping_ = true;
    wake_.notify_all();
    capture_wake_.notify_all();
}

void Camera::Shutdown() {
    BeginShutdown();
    if (capture_thread_.joinable()) capture_thread_.join();
    if (control_thread_.joinable()) control_thread_.join();
}

json Camera::Summary() const {
    std::lock_guard<std::mutex> lock(mu_);
    return summary_;
}

FramePtr Camera::LastFrame() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_frame_;
}

void Camera::Watch() {
    watchers_.fetch_add(1);
    wake_.notify_all();
    capture_wake_.notify_all();
}

void Camera::Unwatch() {
    watchers_.fetch_sub(1);
    wake_.notify_all();
}

void Camera::Post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

Outcome Camera::OnThread(const std::function<Outcome(MemberCalls&)>& call) {
    if (calls_ == nullptr) {
        return Outcome::Error(503, "camera " + config_.name + " is not available" +
                                       (create_error_.empty() ? "" : ": " + create_error_));
    }
    return call(*calls_);
}

void Camera::Details(Reply reply) {
    Post([this, reply = std::move(reply)] {
        json body = Summary();
        if (calls_ != nullptr) {
            // What this caller sees becomes the base the change events are told against, so a
            // value that changes after this reading, and before the next poll, is not lost.
            body["properties"] = calls_->ReadAll(frame_rate_);
            TellChanges(body["properties"]);
        }
        reply(Outcome{200, body});
    });
}

void Camera::Get(std::string member, Reply reply) {
    Post([this, member = std::move(member), reply = std::move(reply)] {
        // FrameRate counts the frames since its previous reading, which this thread takes once
        // a period: a caller gets that figure instead of resetting the count.
        if (calls_ != nullptr && types_.CanonicalName(member) == "FrameRate") {
            reply(Outcome{200, {{"value", frame_rate_}}});
            return;
        }
        reply(OnThread([&](MemberCalls& c) { return c.Get(member); }));
    });
}

void Camera::Put(std::string member, json value, Reply reply) {
    Post([this, member = std::move(member), value = std::move(value), reply = std::move(reply)] {
        Outcome o = OnThread([&](MemberCalls& c) { return c.Put(member, value); });
        reply(o);
        if (o.ok()) PollProperties(true);
    });
}

void Camera::Call(std::string member, json args, Reply reply) {
    Post([this, member = std::move(member), args = std::move(args), reply = std::move(reply)] {
        const std::string name = types_.CanonicalName(member);
        // Play and Stop go through the container's own play logic, so that a session the page
        // asked for is played again after an end, and one it stopped stays stopped.
        if (host_ != nullptr && (name == "Play" || name == "Stop") && args.is_array() &&
            args.empty()) {
            if (name == "Play") {
                user_stopped_ = false;
                host_->Play();
            } else {
                user_stopped_ = true;
                host_->Stop();
            }
            reply(Outcome{200, {{"result", nullptr}}});
            PublishStatus();
            return;
        }
        Outcome o = OnThread([&](MemberCalls& c) { return c.Call(member, args); });
        reply(o);
        if (o.ok()) PollProperties(true);
    });
}

void Camera::RunLine(std::string line, Reply reply) {
    Post([this, line = std::move(line), reply = std::move(reply)] {
        if (host_ == nullptr) {
            reply(OnThread([](MemberCalls&) { return Outcome{}; }));
            return;
        }
        ConsoleHooks hooks;
        hooks.play = [this] {
            user_stopped_ = false;
            host_->Play();
        };
        hooks.stop = [this] {
            user_stopped_ = true;
            host_->Stop();
        };
        Outcome o = RunConsoleLine(host_->Dispatch(), config_, line, kMaxConsoleWaitMs, hooks);
        reply(o);
        PollProperties(true);
        PublishStatus();
    });
}

void Camera::Snapshot(bool png, Reply reply) {
    Post([this, png, reply = std::move(reply)] {
        if (host_ == nullptr) {
            reply(OnThread([](MemberCalls&) { return Outcome{}; }));
            return;
        }
        platform::WindowPixels pixels;
        std::string bytes;
        bool ok = host_->ReadPixels(&pixels);
        if (ok) {
            if (png) {
                ok = EncodePng(pixels, &bytes);
            } else {
                JpegEncoder encoder;
                ok = encoder.Encode(pixels, config_.quality, &bytes);
            }
        }
        if (!ok) {
            reply(Outcome::Error(500, "the window of " + config_.name + " could not be encoded"));
            return;
        }
        reply(Outcome{
            200,
            {{"type", png ? "image/png" : "image/jpeg"},
             {"bytes", json::binary_t(std::vector<std::uint8_t>(bytes.begin(), bytes.end()))}}});
    });
}

void Camera::ApplyPolicy() {
    if (host_ == nullptr) return;
    if (config_.play == PlayPolicy::kAlways) {
        if (!host_->Wanted() && !user_stopped_) host_->Play();
        return;
    }
    const platform::Tick now = platform::GetTickCount();
    if (watchers_.load() > 0) {
        unwatched_timing_ = false;
        if (!host_->Wanted() && !user_stopped_) host_->Play();
        return;
    }
    if (!host_->Wanted()) {
        // Nobody watches and nothing plays: the next viewer's Play starts afresh.
        user_stopped_ = false;
        unwatched_timing_ = false;
        return;
    }
    if (!unwatched_timing_) {
        unwatched_timing_ = true;
        unwatched_since_ = now;
    } else if (now - unwatched_since_ >= kLingerMs) {
        unwatched_timing_ = false;
        host_->Stop();
    }
}

void Camera::PollProperties(bool force) {
    if (calls_ == nullptr) return;
    const platform::Tick now = platform::GetTickCount();
    const bool period = now - last_poll_ >= kPropertyPollMs;
    if (period) {
        last_poll_ = now;
        Outcome rate = calls_->Get("FrameRate");
        if (rate.ok()) frame_rate_ = rate.body["value"];
    }
    if (!force && !period) return;
    if (watchers_.load() == 0 && !force) {
        properties_ = json();
        return;
    }
    TellChanges(calls_->ReadAll(frame_rate_));
}

void Camera::TellChanges(const json& now_values) {
    if (sinks_.event && properties_.is_object()) {
        for (const auto& [name, value] : now_values.items()) {
            if (properties_.contains(name) && properties_[name] == value) continue;
            sinks_.event({{"event", "change"},
                          {"camera", config_.name},
                          {"member", name},
                          {"value", value}});
        }
    }
    properties_ = now_values;
}

void Camera::PublishStatus() {
    json summary = Summary();
    if (host_ != nullptr) {
        const CameraStatus s = host_->Status();
        summary["state"] = to_string(s.state);
        summary["reason"] = s.reason;
        summary["retry_in"] = s.retry_in_s;
    } else {
        summary["state"] = create_error_.empty() ? "idle" : "ended";
        summary["reason"] = create_error_;
        summary["retry_in"] = 0;
    }
    const std::string text = summary["state"].get<std::string>() + "|" +
                             summary["reason"].get<std::string>() + "|" +
                             std::to_string(summary["retry_in"].get<int>());
    {
        std::lock_guard<std::mutex> lock(mu_);
        summary_ = summary;
    }
    if (text != last_state_text_) {
        last_state_text_ = text;
        if (sinks_.event) {
            json event = summary;
            event["event"] = "state";
            event["camera"] = config_.name;
            sinks_.event(event);
        }
    }
}

void Camera::ControlLoop() {
    platform::CoInitialize();
    PublishStatus();
    host_ = CameraHost::Create(config_, &create_error_);
    if (host_ != nullptr) {
        calls_ = std::make_unique<MemberCalls>(host_->Dispatch(), types_, &config_);
        {
            std::lock_guard<std::mutex> lock(capture_mu_);
            ready_host_ = host_.get();
        }
        capture_wake_.notify_all();
    }
    while (!stopping_.load()) {
        std::deque<std::function<void()>> tasks;
        {
            std::unique_lock<std::mutex> lock(mu_);
            wake_.wait_for(lock, std::chrono::milliseconds(kCameraTickMs),
                           [this] { return !tasks_.empty() || stopping_.load(); });
            tasks.swap(tasks_);
        }
        for (auto& task : tasks) task();
        if (host_ != nullptr) {
            host_->Tick();
            ApplyPolicy();
        }
        PollProperties(false);
        PublishStatus();
    }
    // The capture thread lets go of the host before it goes.
    {
        std::lock_guard<std::mutex> lock(capture_mu_);
        ready_host_ = nullptr;
    }
    if (host_ != nullptr) host_->Stop();
    calls_.reset();
    host_.reset();
    create_error_ = "the server is shutting down";
    std::deque<std::function<void()>> left;
    {
        std::lock_guard<std::mutex> lock(mu_);
        left.swap(tasks_);
    }
    for (auto& task : left) task();  // with no control they answer 503
    platform::CoUninitialize();
}

void Camera::CaptureLoop() {
    JpegEncoder encoder;
    platform::WindowPixels pixels;
    std::uint64_t last_change = 0;
    std::uint32_t last_presented = 0;
    bool have_last = false;
    std::uint64_t number = 0;
    std::string forwarded;
    while (!stopping_.load()) {
        std::unique_lock<std::mutex> lock(capture_mu_);
        CameraHost* host = ready_host_.load();
        if (host == nullptr || watchers_.load() == 0) {
            // Nothing to make: a new viewer gets the window as it is then.
            have_last = false;
            capture_wake_.wait_for(lock, std::chrono::milliseconds(100));
            continue;
        }
        const std::uint64_t change = host->ChangeCount();
        if (have_last && change == last_change) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(kCapturePollMs));
            continue;
        }
        const std::uint32_t presented = host->FramesPresented();
        auto frame = std::make_shared<Frame>();
        frame->bytes = tag_;
        frame->jpeg_offset = tag_.size();
        bool made = false;
        // A change that came with a new frame, shown as it came: its own bytes will do.
        if (options_.forward_camera_jpeg && have_last && presented != last_presented &&
            host->ForwardableFrame(&forwarded)) {
            frame->bytes += forwarded;
            made = true;
        }
        if (!made) {
            if (!host->ReadPixels(&pixels)) {
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(kCapturePollMs));
                continue;
            }
            made = encoder.Encode(pixels, config_.quality, &frame->bytes);
        }
        lock.unlock();
        last_change = change;
        last_presented = presented;
        have_last = true;
        if (!made) continue;
        frame->number = ++number;
        FramePtr shared = std::move(frame);
        {
            std::lock_guard<std::mutex> guard(mu_);
            last_frame_ = shared;
        }
        frames_made_.fetch_add(1);
        if (sinks_.frame) sinks_.frame(shared);
    }
}

}  // namespace web
