// The control object: play/stop state machine, frame rate, and the field accessors.
#include <gtest/gtest.h>

#include <atomic>

#include "control/quorlina.h"
#include "platform/kernel.h"
#include "stream/present_frame.h"

using namespace control;

namespace {

char g_window;
platform::HWND FakeWindow() {
    return reinterpret_cast<platform::HWND>(&g_window);
}

struct ControlPtr {
    CQuorlina* c = new CQuorlina();
    ~ControlPtr() { c->Destroy(); }
    CQuorlina* operator->() { return c; }
};

// Holds GetTickCount at a chosen value for as long as it lives.
std::atomic<platform::Tick> g_fixed_now{0};
platform::Tick FixedNow() {
    return g_fixed_now.load();
}
struct FixedClock {
    explicit FixedClock(platform::Tick now) {
        Set(now);
        platform::SetTickSource(&FixedNow);
    }
    ~FixedClock() { platform::SetTickSource(nullptr); }
    void Set(platform::Tick now) { g_fixed_now = now; }
};

void WaitForThreads(int count) {
    for (int i = 0; i < 500 && platform::LiveThreadCount() != count; ++i) platform::Sleep(10);
}

}  // namespace

TEST(ControlDefaults, FieldsStartAsDocumented) {
    ControlPtr c;
    EXPECT_EQ(c->HostName.Get(), "127.0.0.1");
    EXPECT_EQ(c->RemotePort.load(), 8481);
    EXPECT_EQ(c->Timeout.load(), 3);
    EXPECT_EQ(c->StreamMode.load(), 99);
    EXPECT_EQ(c->PlayState.load(), Idle);
    EXPECT_EQ(c->ProxyState.load(), -1);
    EXPECT_EQ(c->ProbeTimeout.load(), 5);
    EXPECT_EQ(c->PreviewWidth.load(), 320);
    EXPECT_EQ(c->PreviewHeight.load(), 240);
    EXPECT_EQ(c->ZoomFactor.load(), 1);
    EXPECT_EQ(c->AmbientUserMode.load(), 1);
}

TEST(ControlPlay, NeedsAWindowAndStartsOneWorker) {
    ControlPtr c;
    c->StreamMode = kStreamNative;
    const int before = platform::LiveThreadCount();
    EXPECT_EQ(c->Play(), platform::S_OK);
    EXPECT_EQ(c->PlayState.load(), Idle);
    EXPECT_EQ(platform::LiveThreadCount(), before);

    c->AttachWindow(FakeWindow());
    c->Play();
    EXPECT_EQ(c->PlayState.load(), Playing);
    EXPECT_EQ(c->ThreadRunning.load(), 1);
    c->Play();  // already playing: no second worker
    EXPECT_EQ(platform::LiveThreadCount(), before + 1);

    c->Stop();
    EXPECT_TRUE(c->PlayState.load() == Ended || c->PlayState.load() == StopRequested);
    EXPECT_EQ(c->ThreadRunning.load(), 0);
    WaitForThreads(before);
    EXPECT_EQ(platform::LiveThreadCount(), before);

    c->Play();  // after the end, a new worker
    EXPECT_EQ(c->PlayState.load(), Playing);
    c->Stop();
    WaitForThreads(before);
}

TEST(ControlStop, WhenNotPlayingChangesNothing) {
    ControlPtr c;
    c->PlayState = Ended;
    c->ThreadRunning = 1;
    const platform::Tick t0 = platform::GetTickCount();
    c->Stop();
    EXPECT_LT(platform::GetTickCount() - t0, 50u);
    EXPECT_EQ(c->PlayState.load(), Ended);
    EXPECT_EQ(c->ThreadRunning.load(), 1);
    c->ThreadRunning = 0;  // no worker behind it: let destruction return at once
}

// With no probe under way no verdict can come: Play says so at once instead of waiting for one.
TEST(ControlPlay, WithoutAProbeVerdictGivesUpAtOnce) {
    ControlPtr c;
    c->AttachWindow(FakeWindow());
    const platform::Tick t0 = platform::GetTickCount();
    c->Play();
    EXPECT_LT(platform::GetTickCount() - t0, 500u);
    EXPECT_EQ(c->Status().state, control::SessionState::Ended);
    EXPECT_EQ(c->Status().reason, control::ReasonCode::NoTarget);
    EXPECT_EQ(c->PlayState.load(), Idle);
    EXPECT_EQ(c->ThreadRunning.load(), 0);
}

TEST(ControlFrameRate, CountsFramesBetweenQueries) {
    ControlPtr c;
    FixedClock clock(5000);
    double rate = -1;
    c->get_FrameRate(&rate);
    EXPECT_EQ(rate, 0.0);  // no frames
    EXPECT_EQ(c->RateTickLast, 5000u);

    struct Row {
        int frames;
        platform::Tick last, now;
        double expected;
    };
    const Row rows[] = {
        {250, 10000, 20000, 25.0},
        {1, 10000, 13000, 0.33},         // 0.333...: cut, not rounded
        {2, 10000, 13000, 0.66},         // 0.666...: cut, not rounded
        {250, 0xFFFFF000u, 5904, 25.0},  // the tick counter wrapped: 4096 + 5904 ms
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.frames);
        c->FrameCount = row.frames;
        c->RateTickLast = row.last;
        clock.Set(row.now);
        c->get_FrameRate(&rate);
        EXPECT_DOUBLE_EQ(rate, row.expected);
        EXPECT_DOUBLE_EQ(c->MeasuredFrameRate, row.expected);
        EXPECT_EQ(c->FrameCount.load(), 0);
        EXPECT_EQ(c->RateTickLast, row.now);
    }

    // Frames counted, but the query falls in the same millisecond as the previous one: no rate
    // (no division by zero), the count is taken all the same and the last rate is kept.
    c->FrameCount = 5;
    c->RateTickLast = 30000;
    clock.Set(30000);
    rate = -1;
    c->get_FrameRate(&rate);
    EXPECT_EQ(rate, 0.0);
    EXPECT_EQ(c->FrameCount.load(), 0);
    EXPECT_DOUBLE_EQ(c->MeasuredFrameRate, 25.0);
    EXPECT_EQ(c->RateTickLast, 30000u);
}

TEST(ControlFrameRate, CounterWrapsAt65530) {
    ControlPtr c;
    for (int i = 0; i < 65529; ++i) stream::CountFrame(*c.c);
    EXPECT_EQ(c->FrameCount.load(), 65529);
    stream::CountFrame(*c.c);
    EXPECT_EQ(c->FrameCount.load(), 0);
}

TEST(ControlAccessors, StoreAndReturnAsTheMembersSay) {
    ControlPtr c;
    std::int32_t v = 0;
    c->put_Timeout(-7);
    c->get_Timeout(&v);
    EXPECT_EQ(v, 3);
    c->put_Timeout(-6);
    c->get_Timeout(&v);
    EXPECT_EQ(v, -6);

    c->put_PreviewFrameRate(12);
    c->get_PreviewFrameRate(&v);
    EXPECT_EQ(v, 0);

    c->Zoom(2, &v);
    EXPECT_EQ(v, 2);
    c->ResizeMode(1, &v);
    EXPECT_EQ(v, 1);
    c->DisplayMode(0, &v);
    EXPECT_EQ(v, 0);

    std::string text;
    c->put_SetName("Gate");
    c->put_SetName(nullptr);
    c->get_SetName(&text);
    EXPECT_EQ(text, "");
    c->put_DeviceSerialNo("tok");
    c->put_DeviceSerialNo(nullptr);
    c->get_DeviceSerialNo(&text);
    EXPECT_EQ(text, "tok");
    c->put_SetName(std::string(400, 'n').c_str());
    c->get_SetName(&text);
    EXPECT_EQ(text.size(), 259u);

    EXPECT_EQ(c->get_AuthType(nullptr), platform::E_POINTER);
    v = 1234;
    EXPECT_EQ(c->get_WriteOnly(&v), platform::S_OK);
    EXPECT_EQ(v, 1234);
}
