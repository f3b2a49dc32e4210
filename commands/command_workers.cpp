// Setters' side and workers' side of the HTTP commands. CommandStatus is set to -1 before the
// worker starts, so a worker that finishes at once is never overwritten by it.
#include "commands/command_workers.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>

#include "commands/command_bodies.h"
#include "commands/http_command.h"
#include "commands/reply_fields.h"
#include "platform/kernel.h"

namespace commands {
namespace {

// Starts entry with its own copy of the request; the worker owns it from then on.
void StartRequestWorker(control::ControlState& c, void (*entry)(control::ControlState&, void*),
                        const CommandRequest& request) {
    auto copy = std::make_unique<CommandRequest>(request);
    c.CommandStatus = kCommandPending;
    c.Session.CommandQueued();
    if (c.StartWorker(entry, copy.get())) {
        copy.release();
    } else {
        c.Session.CommandDequeued();
        c.Session.CommandFinished(kCommandConnectFailed, "no worker thread could be started");
    }
}

// Counts the worker out however it returns.
struct WorkerDone {
    control::ControlState& c;
    ~WorkerDone() { c.Session.CommandDequeued(); }
};

void StoreRealTimeFields(control::ControlState& c, const RealTimeFields& f) {
    c.IOOut1 = f.out1;
    c.IOOut2 = f.out2;
    c.ImageUpload = f.upload;
    c.EmailImage = f.email;
    c.TimeString.Set(f.time);
}

}  // namespace

void PostWorker(control::ControlState& c, void* context) {
    const WorkerDone done{c};
    const std::unique_ptr<CommandRequest> request(static_cast<CommandRequest*>(context));
    HttpPostCommand(c, *request);
}

void RealTimeDataWorker(control::ControlState& c, void* context) {
    const WorkerDone done{c};
    const std::unique_ptr<CommandRequest> request(static_cast<CommandRequest*>(context));
    std::string body;
    if (HttpGetCommand(c, *request, &body) != kRequestDone) return;
    auto table = std::make_unique<control::ReplyTable>();
    SplitReplyFields(body, "&", table.get());
    StoreRealTimeFields(c, ReadRealTimeFields(*table));
    std::lock_guard<std::mutex> guard(c.ReplyLock);
    c.Replies = *table;
}

void RecordCommand(control::ControlState& c, const CommandRequest& request) {
    std::lock_guard<std::mutex> guard(c.CommandLock);
    std::memset(c.CommandPath, 0, sizeof c.CommandPath);
    std::memcpy(c.CommandPath, request.path.data(),
                std::min(request.path.size(), sizeof c.CommandPath - 1));
    std::memset(c.MessageBuffer, 0, sizeof c.MessageBuffer);
    std::memcpy(c.MessageBuffer, request.body.data(),
                std::min(request.body.size(), sizeof c.MessageBuffer - 1));
}

void PostCommand(control::ControlState& c, const char* path, const std::string& body) {
    // Measured finer than the millisecond tick, so that the call never ends a fraction short.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point t0 = Clock::now();
    const CommandRequest request = MakeCommandRequest(path, body);
    RecordCommand(c, request);
    StartRequestWorker(c, &PostWorker, request);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        t0 + std::chrono::milliseconds(kCommandMinimumMs) - Clock::now());
    if (left.count() > 0) platform::Sleep(static_cast<std::uint32_t>(left.count()));
}

void ReadRealTimeData(control::ControlState& c) {
    const CommandRequest request = MakeCommandRequest(kIoStatusPath, "");
    RecordCommand(c, request);
    std::string ignored;
    HttpGetCommand(c, request, &ignored);
    StartRequestWorker(c, &RealTimeDataWorker, request);
}

}  // namespace commands
