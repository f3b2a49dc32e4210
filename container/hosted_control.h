// One control hosted as a container hosts it: created through the module's class factory, given
// a client site with ambient properties (before anything else, as the control asks), initialised,
// sized, activated in place in a window on a screen of its own, and its view changes watched.
// Afterwards the container talks to it through its interfaces only: IDispatch for the scripting
// members, the embedding interfaces for size, ambient changes and drawing; the credential fields
// no scripting member sets are the one exception, set once at creation.
// Hard part: teardown in the container's order (no more notices, close, drop the site, last
// release, then the screen), whichever way the object goes.
// Threads: one control, one thread; a container may host many, each from its own thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "container/client_site.h"
#include "platform/com.h"
#include "platform/gdi.h"

namespace container {

// The extent (hundredths of a millimetre) of a window of width x height pixels at 96 pixels to
// the inch.
inline constexpr int kHimetricPerInch = 2540;
inline constexpr int kPixelsPerInch = 96;
platform::SIZEL ExtentOfPixels(int width, int height);

// The screen behind a hosted control: its depth, the control window's client size (0: the
// control's preview size when it is created) and the screen's own size (0, or less than the
// window's: exactly the window's size; larger leaves the window room to grow, as a viewer whose
// window the user resizes needs).
struct ScreenOptions {
    int depth = 32;
    int width = 0;
    int height = 0;
    int screen_width = 0;
    int screen_height = 0;
};

// A new screen for a control window of width x height (the larger of that and the options'
// screen size); null for a depth or size the window layer refuses.
platform::HWND CreateScreenFor(const ScreenOptions& screen, int width, int height);

struct ControlOptions {
    std::string user;  // credential fields no scripting member sets
    std::string password;
    Ambients ambients;
    ScreenOptions screen;
};

class HostedControl {
  public:
    HostedControl();  // none: false
    ~HostedControl();
    HostedControl(HostedControl&& other) noexcept;
    HostedControl& operator=(HostedControl&& other) noexcept;
    HostedControl(const HostedControl&) = delete;
    HostedControl& operator=(const HostedControl&) = delete;

    // Hosts a new control; empty with *error saying which step failed and why.
    static HostedControl Create(const ControlOptions& options, std::string* error);

    explicit operator bool() const { return parts_ != nullptr; }
    platform::IDispatch& Dispatch() const;
    platform::IUnknown& Unknown() const;
    platform::HWND Window() const;  // the control's window (null once it is gone)
    platform::HWND Screen() const;  // the screen it was made on

    // Resizes the control's window to width x height at the screen's top-left corner
    // (IOleInPlaceObject::SetObjectRects) and sets its extent to match. False when the size does
    // not fit the screen or the control refuses it.
    bool Resize(int width, int height);

    // Ambient properties: the site takes the new value and the control is told it changed.
    const Ambients& CurrentAmbients() const;
    void SetUserMode(bool run_mode);
    void SetBackColor(std::optional<platform::OLE_COLOR> color);
    void SetPalette(platform::HPALETTE palette);

    // View changes the control has reported to the site (when it is not in-place active, the
    // end of a session or an ambient change reaches the container this way).
    std::uint64_t ViewChanges() const;

    // Asks the control to draw itself into dc at bounds (IViewObject::Draw).
    platform::HRESULT DrawInto(platform::HDC dc, const platform::RECT& bounds) const;

  private:
    struct Parts;
    explicit HostedControl(std::unique_ptr<Parts> parts);
    void ChangeAmbients(const Ambients& ambients, platform::DISPID member);
    std::unique_ptr<Parts> parts_;
};

}  // namespace container
