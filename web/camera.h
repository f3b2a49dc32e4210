// One configured camera of the web container: the thread that owns its control (every member
// call, play and stop run there, posted as tasks), a capture thread that turns each change of the
// control's window into one frame while someone watches, the play policy (only while watched,
// stopped kLingerMs after the last viewer left, or always), and the property-change and state
// events. The hard part is threads: the control sees one thread only, the capture thread reads
// only through the container's window tap, and every reply or event leaves through the sinks,
// whose owner moves it onto its own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "web/camera_host.h"
#include "web/config.h"
#include "web/member_calls.h"
#include "web/typelib.h"

namespace web {

inline constexpr std::uint32_t kLingerMs = 10000;   // watched: stop this long after the last viewer
inline constexpr std::uint32_t kCapturePollMs = 2;  // how often a watched window is looked at
inline constexpr std::uint32_t kCameraTickMs = 20;  // the control thread's message pump pace
inline constexpr std::uint32_t kPropertyPollMs = 1000;  // property-change and frame-rate period
inline constexpr std::uint32_t kMaxConsoleWaitMs =
    5000;  // longest `wait` a console line may ask for

// One frame as it goes to viewers: a WebSocket message (the camera tag, then the JPEG) built
// once, shared by every viewer and stream; the JPEG is its tail.
struct Frame {
    std::string bytes;
    std::size_t jpeg_offset = 0;
    std::uint64_t number = 0;  // 1, 2, ... per camera
    std::string_view Jpeg() const { return std::string_view(bytes).substr(jpeg_offset); }
};
using FramePtr = std::shared_ptr<const Frame>;

// The binary message tag: one byte with the name's length, then the name.
std::string FrameTag(const std::string& camera);

struct CameraSinks {
    std::function<void(const FramePtr&)> frame;              // capture thread
    std::function<void(const nlohmann::json& event)> event;  // control thread
};

struct CameraOptions {
    bool forward_camera_jpeg = true;  // send the camera's own JPEG where the window shows it as is
};

class Camera {
  public:
    using Reply = std::function<void(Outcome)>;

    Camera(CameraConfig config, const TypeLib& types, CameraSinks sinks,
           CameraOptions options = {});
    ~Camera();  // Shutdown()
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Starts the threads; the control is created on its thread (the target's probe may take a
    // few seconds, during which calls wait in the queue).
    void Start();
    // Asks both threads to end without waiting (the control stops on its own thread).
    void BeginShutdown();
    // BeginShutdown, then waits for both threads. Pending tasks get 503.
    void Shutdown();

    const CameraConfig& Config() const { return config_; }
    // {"name", "target" (without credentials), "state", "reason", "retry_in"} as of now.
    nlohmann::json Summary() const;
    // The newest frame, or null before the first one.
    FramePtr LastFrame() const;

    // A viewer starts or stops watching (frames are made only while someone watches).
    void Watch();
    void Unwatch();
    int Watchers() const { return watchers_.load(); }

    // Each reply runs on the control thread.
    void Details(Reply reply);  // Summary plus "properties"
    void Get(std::string member, Reply reply);
    void Put(std::string member, nlohmann::json value, Reply reply);
    void Call(std::string member, nlohmann::json args, Reply reply);
    // Runs one script line as `quorlina run` does: {"output": "..."} or 400 with the line's error.
    void RunLine(std::string line, Reply reply);
    // The window now, as "jpg" or "png": {"type", "bytes"} in the body, or an error.
    void Snapshot(bool png, Reply reply);

    // Frames made so far (any thread); for tests and the soak.
    std::uint64_t FramesMade() const { return frames_made_.load(); }

  private:
    void Post(std::function<void()> task);
    void ControlLoop();
    void CaptureLoop();
    void ApplyPolicy();
    void PollProperties(bool force);
    // Sends a change event for every value that differs from the last one told, then keeps
    // these as the last told.
    void TellChanges(const nlohmann::json& now_values);
    void PublishStatus();
    Outcome OnThread(const std::function<Outcome(MemberCalls&)>& call);

    const CameraConfig config_;
    const TypeLib& types_;
    const CameraSinks sinks_;
    const CameraOptions options_;
    const std::string tag_;

    mutable std::mutex mu_;  // guards tasks_, summary_, last_frame_
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    nlohmann::json summary_;
    FramePtr last_frame_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> watchers_{0};
    std::atomic<std::uint64_t> frames_made_{0};
    std::atomic<CameraHost*> ready_host_{
        nullptr};  // published once created, for the capture thread
    std::mutex capture_mu_;
    std::condition_variable capture_wake_;

    // Control thread only.
    std::unique_ptr<CameraHost> host_;
    std::unique_ptr<MemberCalls> calls_;
    std::string create_error_;
    bool user_stopped_ = false;
    std::uint32_t unwatched_since_ = 0;
    bool unwatched_timing_ = false;
    std::uint32_t last_poll_ = 0;
    nlohmann::json properties_;  // as last told to viewers (null while nobody watches)
    nlohmann::json frame_rate_ = 0.0;
    std::string last_state_text_;

    std::thread control_thread_;
    std::thread capture_thread_;
};

}  // namespace web
