// CQuorlina, the control a container creates: play/stop, the thread entries, the frame rate,
// the scripting accessors that only read or store fields, and its window with its drawing
// (control_window.cpp). Accessors that start device work call into device/ (probe) and
// commands/; the stream sessions live in stream/ and device/.
#pragma once

#include <cstdint>
#include <string>

#include "control/container_site.h"
#include "control/control_state.h"
#include "platform/com_types.h"
#include "platform/gdi.h"
#include "platform/window.h"

namespace control {

using platform::HRESULT;

inline constexpr int kStopPolls = 300;             // Stop waits at most this many + 1 polls
inline constexpr std::uint32_t kStopPollMs = 100;
inline constexpr int kMaxStoredTextChars = 259;    // SetName and DeviceSerialNo

// The private window message that presents FrameBuffer again; nothing in the control sends it.
inline constexpr platform::UINT kPresentFrameMessage = 101;
inline constexpr const char* kDesignCaption = "Vantrel Control";
// Ambient values used when the container gives none: run mode, a mid-grey background, no
// palette.
inline constexpr bool kDefaultRunMode = true;
inline constexpr platform::OLE_COLOR kDefaultBackColor = platform::RGB(128, 128, 128);

class CQuorlina : public ControlState {
public:
    CQuorlina();

    // The container's last release: runs the destruction steps (stop any stream, close both
    // sockets, destroy the window if it still exists, let go of the site), then drops the
    // container's reference. Workers still running keep the object alive until they end.
    // On the container thread.
    void Destroy();

    // In-place activation: makes the control's own child window in the container's window and
    // marks the control in-place active. Returns the window (the existing one if there is one),
    // or null when the parent is not a window.
    platform::HWND CreateControlWindow(platform::HWND parent, const platform::RECT& rect);

    // Takes a handle as the control's window without making one and without becoming in-place
    // active: for tests that only need "has a window".
    void AttachWindow(platform::HWND window) { Window = window; }

    // The container's site; null (the default) means no container: the defaults above apply.
    // The site must outlive the control or be cleared first.
    void SetContainerSite(ContainerSite* site) { site_ = site; }

    // The draw routine: the paint handler's, and the container's view requests (drawing into a
    // device context and bounds of the container's choosing).
    HRESULT Draw(platform::HDC dc, const platform::RECT& bounds);

    // The container's request to draw the control as it is seen: in run mode with a window,
    // what the window shows (the last frame painted, or the background), scaled to the bounds;
    // otherwise the draw routine's background, and caption in design mode. E_INVALIDARG for
    // bounds wider or taller than a screen can be.
    HRESULT DrawView(platform::HDC dc, const platform::RECT& bounds);

    // End of a stream session (and an Enabled change): repaint the background when in-place
    // active with a window, else tell the container's view sink.
    void RequestRepaint() override;

    std::atomic<bool> InPlaceActive{false};
    std::atomic<std::uint32_t> ViewChanges{0};  // view-change notices sent (or due without a site)

    HRESULT Play();
    HRESULT Stop();
    // Where the session stands and why it last ended, what the probe decided, how the last
    // command went: the containers' reading of the session record.
    SessionStatus Status() const;
    HRESULT get_FrameRate(double* value);

    HRESULT get_RemoteHost(std::string* value);
    HRESULT put_RemoteHost(const char* value);  // null: nothing happens
    HRESULT get_RemotePort(std::int32_t* value);
    HRESULT put_RemotePort(std::int32_t value);
    HRESULT get_RemoteWeb(std::int32_t* value);
    HRESULT put_RemoteWeb(std::int32_t value);
    HRESULT get_Timeout(std::int32_t* value);
    HRESULT put_Timeout(std::int32_t value);
    HRESULT get_PreviewFrameRate(std::int32_t* value);
    HRESULT put_PreviewFrameRate(std::int32_t value);
    HRESULT get_TimeString(std::string* value);
    HRESULT get_IOOut1(std::int32_t* value);
    HRESULT get_IOOut2(std::int32_t* value);
    HRESULT get_ImageUpload(std::int32_t* value);
    HRESULT get_EmailImage(std::int32_t* value);
    HRESULT get_PreviewWidth(std::int32_t* value);
    HRESULT put_PreviewWidth(std::int32_t value);
    HRESULT get_PreviewHeight(std::int32_t* value);
    HRESULT put_PreviewHeight(std::int32_t value);
    HRESULT get_DeviceSerialNo(std::string* value);
    HRESULT put_DeviceSerialNo(const char* value);  // null: keeps the stored token
    HRESULT get_AuthType(std::int32_t* value);      // null pointer: E_POINTER
    HRESULT put_AuthType(std::int32_t value);
    HRESULT get_SetName(std::string* value);
    HRESULT put_SetName(const char* value);  // null: empties the name
    HRESULT get_PanSingleMoveDegree(std::int32_t* value);
    HRESULT put_PanSingleMoveDegree(std::int32_t value);
    HRESULT get_TiltSingleMoveDegree(std::int32_t* value);
    HRESULT put_TiltSingleMoveDegree(std::int32_t value);
    HRESULT get_GetHorizontalPosition(std::int32_t* value);
    HRESULT put_GetHorizontalPosition(std::int32_t value);
    HRESULT get_GetVerticalPosition(std::int32_t* value);
    HRESULT put_GetVerticalPosition(std::int32_t value);
    // Write-only in effect: the getters succeed and leave the result as it was.
    HRESULT get_WriteOnly(std::int32_t* value);
    HRESULT Zoom(std::int32_t mode, std::int32_t* value);
    HRESULT ResizeMode(std::int32_t mode, std::int32_t* value);
    HRESULT DisplayMode(std::int32_t mode, std::int32_t* value);

    // Device commands (quorlina_commands.cpp). On an HTTP device each setter sends one request from
    // a worker and lasts at least 200 ms; the stored values change only when the device reports
    // them back. A device whose protocol is still undecided after the bounded wait gets nothing.
    HRESULT put_IOOut1(std::int32_t value);  // native: 0 when the device accepts, 1 otherwise
    HRESULT put_IOOut2(std::int32_t value);
    HRESULT put_ImageUpload(std::int32_t value);  // native: nothing sent
    HRESULT put_EmailImage(std::int32_t value);   // native: nothing sent
    // HTTP: value is not written; native: -1 on success, 0 on failure.
    HRESULT GetRealTimeData(std::int32_t* value);
    // Pan/tilt: native devices ignore them.
    HRESULT put_MovePanTiltDegree(std::int32_t value);
    HRESULT put_ClearPosition(std::int32_t value);
    HRESULT put_SetPosition(std::int32_t value);
    HRESULT put_MovePanTiltPosition(std::int32_t value);
    HRESULT put_SwingMode(std::int32_t value);
    HRESULT MoveToPos(std::int32_t pan, std::int32_t tilt, std::int32_t* value);  // value untouched

    HRESULT get_Enabled(std::int16_t* value);
    HRESULT put_Enabled(std::int16_t value);
    HRESULT get_Window(std::int32_t* value);

    // Thread entries.
    static void HttpStreamThread(ControlState& control);
    static void NativeStreamThread(ControlState& control);
    static void PresentFrameThread(ControlState& control);

    // The control window's procedure; the window's user data is the control.
    static platform::LRESULT WindowProcedure(platform::HWND window, platform::UINT message,
                                             platform::WPARAM wparam, platform::LPARAM lparam);

protected:
    ~CQuorlina() override = default;

private:
    // Reads the ambient UserMode (the default without one) into AmbientUserMode; true in run
    // mode.
    bool ReadUserMode();
    // Waits for the running worker to end (Stop step 3), then clears ThreadRunning.
    void WaitForWorker();
    // The messages the control handles itself; *handled false sends the rest on to the default.
    platform::LRESULT OnWindowMessage(platform::HWND window, platform::UINT message,
                                      platform::WPARAM wparam, bool* handled);
    bool destroyed_ = false;
    std::atomic<ContainerSite*> site_{nullptr};
};

}  // namespace control
