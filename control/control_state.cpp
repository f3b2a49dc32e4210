// Construction of the control's record and the worker start that keeps it alive.
#include "control/control_state.h"

namespace control {

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
};

void RunWorker(void* arg) {
    WorkerStart* start = static_cast<WorkerStart*>(arg);
    ControlState* state = start->state;
    void (*entry)(ControlState&) = start->entry;
    delete start;
    platform::CoInitialize();
    entry(*state);
    platform::CoUninitialize();
    state->Release();
}
}  // namespace

bool ControlState::StartWorker(void (*entry)(ControlState&)) {
    AddRef();
    auto* start = new WorkerStart{this, entry};
    if (!platform::StartThread(&RunWorker, start)) {
        delete start;
        Release();
        return false;
    }
    return true;
}

}  // namespace control
