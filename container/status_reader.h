// Reads the control's status interface as one StatusReading, the way every container of ours
// does: asked for once, held for the container's life, read as often as the container likes.
// Also the one-line wording of an end that the command-line tools print.
#pragma once

#include <string>

#include "container/replay.h"
#include "host/iquorlina_status.h"
#include "platform/com.h"

namespace container {

class StatusReader {
public:
    // Asks the control for its status interface; Valid() says whether it answered.
    explicit StatusReader(platform::IUnknown& control);
    ~StatusReader();
    StatusReader(const StatusReader&) = delete;
    StatusReader& operator=(const StatusReader&) = delete;

    bool Valid() const { return status_ != nullptr; }
    // The session now; an Idle reading when the control has no status interface.
    StatusReading Read() const;
    // The interface's numbers as they stand (command outcome and pending count included); false
    // when the control has no status interface.
    bool Numbers(host::QuorlinaStatus* status) const;
    // The last finished command's outcome and its sequence number (0 before any).
    std::string CommandText(std::uint32_t* sequence) const;

private:
    host::IQuorlinaStatus* status_ = nullptr;
};

// The same reading from the control's record, for tools that hold the control itself.
StatusReading FromStatus(const control::SessionStatus& status);

// True when the reading shows a session that has ended, or a native attempt that has failed,
// since the sequence number `since` was read.
bool EndedSince(const StatusReading& reading, std::uint32_t since);

// "TARGET: reason", the line a tool prints when its session ended by itself.
std::string EndLine(const std::string& target, const StatusReading& reading);

}  // namespace container
