// Construction of the control's record and the worker start that keeps it alive.
#include "control/control_state.h"

namespace control {

FramePictures::~FramePictures() {
    image::FreeImage(&Decoded);
    image::FreeImage(&Scaled);
    image::FreeImage(&Reduced);
}

ControlState::ControlState() {
    const platform::Tick now = platform::GetTickCount();
    RateTickNow = now;
    RateTickLast = now;
    PresentTick = now;
    HostName.Set(kFactoryDefaultHost);
}

namespace {
struct WorkerStart {
    ControlState* state;
    void (*entry)(ControlState&);
    void (*entry_with_context)(ControlState&, void*);
    void* context;
};

void RunWorker(void* arg) {
    WorkerStart start = *static_cast<WorkerStart*>(arg);
    delete static_cast<WorkerStart*>(arg);
    platform::CoInitialize();
    if (start.entry_with_context != nullptr) {
        start.entry_with_context(*start.state, start.context);
    } else {
        start.entry(*start.state);
    }
    platform::CoUninitialize();
    start.state->Release();
}

bool Launch(ControlState& state, WorkerStart* start) {
    state.AddRef();
    if (!platform::StartThread(&RunWorker, start)) {
        delete start;
        state.Release();
        return false;
    }
    return true;
}
}  // namespace

bool ControlState::StartWorker(void (*entry)(ControlState&)) {
    return Launch(*this, new WorkerStart{this, entry, nullptr, nullptr});
}

bool ControlState::StartWorker(void (*entry)(ControlState&, void*), void* context) {
    return Launch(*this, new WorkerStart{this, nullptr, entry, context});
}

}  // namespace control
