// What the viewer shows about its session and does about it by itself: the control's state and
// the reason of its last end in words, Play again after an end that was not the user's (the
// containers' shared replay schedule), the device state of a native camera fetched once a
// second, and the outcome of the commands the keys send. Everything goes through the control's
// scripting interface and its status interface, on the viewer's one thread.
#pragma once

#include <optional>
#include <string>

#include "container/dispatch_calls.h"
#include "container/replay.h"
#include "container/status_reader.h"

namespace apps {

class ViewerSession {
  public:
    // reconnect false: ends are shown, never replayed.
    ViewerSession(container::DispatchCalls& calls, bool reconnect);

    // The user's Play and Stop (the viewer's first Play counts as the user's).
    void Play();
    void Stop();
    // The p key: Stop while a session is under way (connecting, playing, a native session
    // retrying), Play otherwise; so one press brings back a camera whose session has ended.
    void TogglePlay();

    // Looks at the control (at most every few hundred ms) and calls Play when a replay is due.
    // True when the words to show have changed since the last call.
    bool Tick();
    // "connecting", "playing", "ended: connection refused, retrying in 4 s", "stopped", ...
    std::string Text() const { return replay_.Text(); }
    // True while frames arrive: the picture speaks for itself and no line is drawn over it.
    bool Playing() const;
    // A native camera carries its clock, outputs and pan/tilt on no stream line: while playing,
    // GetRealTimeData fetches them. Call once a status period.
    void RefreshDeviceState();

    // A key is about to send a command (label: "upload", "e-mail", "output 1"): called before
    // the put, since a native camera's command has finished when the put returns. Its outcome is
    // told once the control has it.
    void CommandSending(const std::string& label);
    // The next line to tell the user (an end and what follows, a command's outcome); empty when
    // there is none.
    std::string TakeNote();

  private:
    container::DispatchCalls& calls_;
    container::StatusReader status_;
    container::Replay replay_;
    container::StatusReading last_;
    std::string last_text_;
    platform::Tick last_look_ = 0;
    bool looked_ = false;
    std::uint32_t told_sequence_ = 0;   // the last end already told
    std::string told_text_;             // and its words
    std::string pending_command_;       // the label of a command whose outcome is awaited
    std::uint32_t command_sequence_ = 0;
    std::string note_;
};

}  // namespace apps
