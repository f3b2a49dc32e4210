// The control's window: its procedure for the six messages the control handles, the draw routine
// the paint handler shares with the container's view requests, the container's drawing of what
// the window shows, and the repaint request at the end of every stream session. The window shows
// only a background (and a caption in design mode); the video picture is painted straight into it
// by the frame presenter.
#include <vector>

#include "control/quorlina.h"
#include "platform/kernel.h"
#include "stream/present_frame.h"

namespace control {

void CQuorlina::PresentFrameThread(ControlState& c) {
    stream::PresentFrame(c, 0);
}

platform::HWND CQuorlina::CreateControlWindow(platform::HWND parent, const platform::RECT& rect) {
    if (const platform::HWND existing = Window.load(); platform::IsWindow(existing))
        return existing;
    const platform::HWND window = platform::CreateChildWindow(parent, rect, &WindowProcedure, this);
    if (window == nullptr) return nullptr;
    Window = window;
    InPlaceActive = true;
    return window;
}

bool CQuorlina::ReadUserMode() {
    ContainerSite* site = site_.load();
    bool run_mode = kDefaultRunMode;
    if (site == nullptr || !site->AmbientUserMode(&run_mode)) run_mode = kDefaultRunMode;
    AmbientUserMode = run_mode ? 1 : 0;
    return run_mode;
}

HRESULT CQuorlina::Draw(platform::HDC dc, const platform::RECT& bounds) {
    ReadUserMode();
    ContainerSite* site = site_.load();

    platform::OLE_COLOR back = kDefaultBackColor;
    if (site == nullptr || !site->AmbientBackColor(&back)) back = kDefaultBackColor;
    platform::HPALETTE palette = nullptr;
    if (site == nullptr || !site->AmbientPalette(&palette)) palette = nullptr;
    platform::COLORREF color;
    if (platform::OleTranslateColor(back, palette, &color) != platform::S_OK)
        color = kDefaultBackColor;
    const platform::HBRUSH brush = platform::CreateSolidBrush(color);
    platform::FillRect(dc, &bounds, brush);
    platform::DeleteObject(brush);

    if (AmbientUserMode.load() == 0) {
        PaintDC = dc;
        platform::RECT area = bounds;
        platform::DrawText(dc, kDesignCaption, -1, &area,
                           platform::DT_CENTER | platform::DT_VCENTER | platform::DT_SINGLELINE);
    }
    return platform::S_OK;
}

HRESULT CQuorlina::DrawView(platform::HDC dc, const platform::RECT& bounds) {
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    if (width > platform::kMaxScreenSide || height > platform::kMaxScreenSide)
        return platform::E_INVALIDARG;
    platform::WindowPixels shown;
    if (!ReadUserMode() || !platform::ReadWindowPixels(Window.load(), &shown) || shown.width <= 0 ||
        shown.height <= 0)
        return Draw(dc, bounds);
    if (width <= 0 || height <= 0) return platform::S_OK;

    // The window's pixels as a 24-bit bottom-up bitmap of the bounds' size, each target pixel
    // taking the window pixel under it (nearest neighbour).
    const std::size_t row_bytes = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
    std::vector<std::uint8_t> bits(row_bytes * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const int source_y = static_cast<int>(static_cast<std::int64_t>(y) * shown.height / height);
        std::uint8_t* row = bits.data() + static_cast<std::size_t>(height - 1 - y) * row_bytes;
        for (int x = 0; x < width; ++x) {
            const int source_x =
                static_cast<int>(static_cast<std::int64_t>(x) * shown.width / width);
            const std::uint32_t rgb = shown.ColorAt(source_x, source_y);
            row[3 * x] = static_cast<std::uint8_t>(rgb);
            row[3 * x + 1] = static_cast<std::uint8_t>(rgb >> 8);
            row[3 * x + 2] = static_cast<std::uint8_t>(rgb >> 16);
        }
    }
    platform::BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = platform::BI_RGB;
    header.biSizeImage = static_cast<std::uint32_t>(bits.size());
    platform::SetDIBitsToDevice(dc, bounds.left, bounds.top, static_cast<std::uint32_t>(width),
                                static_cast<std::uint32_t>(height), 0, 0, 0,
                                static_cast<std::uint32_t>(height), bits.data(), &header,
                                platform::DIB_RGB_COLORS);
    return platform::S_OK;
}

void CQuorlina::RequestRepaint() {
    const platform::HWND window = Window.load();
    if (InPlaceActive.load() && window != nullptr) {
        platform::InvalidateRect(window, nullptr, true);
        return;
    }
    ViewChanges.fetch_add(1);
    if (ContainerSite* site = site_.load()) site->OnViewChange();
}

platform::LRESULT CQuorlina::WindowProcedure(platform::HWND window, platform::UINT message,
                                             platform::WPARAM wparam, platform::LPARAM lparam) {
    auto* control = static_cast<CQuorlina*>(platform::GetWindowUserData(window));
    bool handled = false;
    platform::LRESULT result = 0;
    if (control != nullptr) result = control->OnWindowMessage(window, message, wparam, &handled);
    return handled ? result : platform::DefWindowProc(window, message, wparam, lparam);
}

platform::LRESULT CQuorlina::OnWindowMessage(platform::HWND window, platform::UINT message,
                                             platform::WPARAM wparam, bool* handled) {
    ContainerSite* site = site_.load();
    switch (message) {
        case platform::WM_PAINT: {
            platform::RECT client;
            platform::GetClientRect(window, &client);
            if (wparam != 0) {
                Draw(reinterpret_cast<platform::HDC>(wparam), client);
            } else {
                platform::PAINTSTRUCT paint;
                if (platform::BeginPaint(window, &paint) != nullptr) {
                    Draw(paint.hdc, client);
                    platform::EndPaint(window, &paint);
                }
            }
            *handled = true;
            return 0;
        }
        case platform::WM_SETFOCUS:
            if (InPlaceActive.load() && site != nullptr) {
                site->UIActivate();
                site->OnFocus(true);
            }
            return 0;
        case platform::WM_KILLFOCUS:
            if (InPlaceActive.load() && site != nullptr &&
                !platform::IsChild(window, reinterpret_cast<platform::HWND>(wparam)))
                site->OnFocus(false);
            return 0;
        case platform::WM_DESTROY:
            // The stream ends while the window still exists, so its last repaint request and
            // any frame it is painting still find the window.
            Stop();
            if (Window.load() == window) Window = nullptr;
            InPlaceActive = false;
            *handled = true;
            return 0;
        case platform::WM_ERASEBKGND:
            *handled = true;
            return 1;
        case kPresentFrameMessage:
            AuthType = 0;
            PresentTick = platform::GetTickCount();
            StartWorker(&PresentFrameThread);
            *handled = true;
            return 1;
        default:
            return 0;
    }
}

}  // namespace control
