// Screens, windows, message queues, invalid areas and the screen read-out. Window procedures
// always run with no lock held, so they may paint, invalidate, post and destroy freely.
#include "platform/window.h"

#include <algorithm>
#include <deque>
#include <map>
#include <unordered_map>

#include "platform/window_internal.h"

namespace platform {
namespace {

struct QueuedMessage {
    HWND window;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
};

struct Layer {
    std::mutex lock;
    std::unordered_map<WindowObject*, std::shared_ptr<WindowObject>> windows;
    std::unordered_map<DeviceContextObject*, std::unique_ptr<DeviceContextObject>> dcs;
    std::map<std::thread::id, std::deque<QueuedMessage>> queues;
    WindowObject* focus = nullptr;
};

Layer& TheLayer() {
    static Layer* layer = new Layer();  // never destroyed: workers may outlive static teardown
    return *layer;
}

RECT ClientRectOf(const WindowObject& w) {
    return RECT{0, 0, w.client.right - w.client.left, w.client.bottom - w.client.top};
}

RECT Union(const RECT& a, const RECT& b) {
    return RECT{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
                std::max(a.bottom, b.bottom)};
}

// The window and every descendant, parents before children. Under the layer lock.
void CollectTreeLocked(WindowObject* root, std::vector<WindowObject*>* out) {
    out->push_back(root);
    for (auto& [key, w] : TheLayer().windows)
        if (w->parent == root) CollectTreeLocked(key, out);
}

void RemoveWindow(WindowObject* w) {
    std::shared_ptr<WindowObject> keep;
    {
        std::lock_guard<std::mutex> guard(TheLayer().lock);
        auto it = TheLayer().windows.find(w);
        if (it == TheLayer().windows.end()) return;
        keep = it->second;
        TheLayer().windows.erase(it);
        if (TheLayer().focus == w) TheLayer().focus = nullptr;
        for (auto& [thread, queue] : TheLayer().queues)
            std::erase_if(queue, [w](const QueuedMessage& m) { return m.window == w; });
        std::lock_guard<std::mutex> screen_guard(keep->screen->lock);
        keep->destroyed = true;
    }
}

}  // namespace

Screen::Screen(int w, int h, int bpp) : width(w), height(h), bits_per_pixel(bpp) {
    const std::size_t count = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    if (bpp == 32) {
        direct.assign(count, 0);
        return;
    }
    indices.assign(count, 0);
    const std::vector<PALETTEENTRY>& stock = StockPalette()->entries;
    auto put = [this, &stock](int slot, int entry) {
        const PALETTEENTRY& e = stock[static_cast<std::size_t>(entry)];
        system_palette[static_cast<std::size_t>(slot)] = RGBQUAD{e.peBlue, e.peGreen, e.peRed, 0};
    };
    if (bpp == 8) {
        // The static colours sit at both ends; the 236 entries between belong to palettes.
        system_colors = 256;
        for (int i = 0; i < 10; ++i) put(i, i);
        for (int i = 10; i < 20; ++i) put(236 + i, i);
        free_first = 10;
        free_end = 246;
    } else {
        // The sixteen colours of a 4-bit screen are all static: stock entries 0-7 and 12-19.
        system_colors = 16;
        for (int i = 0; i < 8; ++i) put(i, i);
        for (int i = 12; i < 20; ++i) put(i - 4, i);
    }
}

std::mutex& LayerLock() {
    return TheLayer().lock;
}

std::shared_ptr<WindowObject> FindWindowLocked(HWND window) {
    auto it = TheLayer().windows.find(window);
    if (it == TheLayer().windows.end() || it->second->destroyed) return nullptr;
    return it->second;
}

DeviceContextObject* FindDcLocked(HDC dc) {
    auto it = TheLayer().dcs.find(dc);
    return it == TheLayer().dcs.end() ? nullptr : it->second.get();
}

HDC CreateDcLocked(const std::shared_ptr<WindowObject>& window, const RECT& clip) {
    auto dc = std::make_unique<DeviceContextObject>();
    dc->window = window;
    dc->screen = window->screen;
    dc->origin_x = window->client.left;
    dc->origin_y = window->client.top;
    dc->clip = Intersect(clip, window->visible);
    HDC handle = dc.get();
    AttachPalette(*dc, StockPalette(), false);
    TheLayer().dcs.emplace(handle, std::move(dc));
    return handle;
}

bool ReleaseDcLocked(HDC dc) {
    return TheLayer().dcs.erase(dc) == 1;
}

RECT Intersect(const RECT& a, const RECT& b) {
    RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
           std::min(a.bottom, b.bottom)};
    if (IsEmpty(r)) r = RECT{0, 0, 0, 0};
    return r;
}

bool IsEmpty(const RECT& r) {
    return r.right <= r.left || r.bottom <= r.top;
}

bool IsScreenDepth(int bits_per_pixel) {
    return bits_per_pixel == 32 || bits_per_pixel == 8 || bits_per_pixel == 4;
}

HWND CreateScreen(int width, int height, int bits_per_pixel) {
    if (!IsScreenDepth(bits_per_pixel)) return nullptr;
    if (width < 1 || height < 1 || width > kMaxScreenSide || height > kMaxScreenSide)
        return nullptr;
    auto w = std::make_shared<WindowObject>();
    w->screen = std::make_shared<Screen>(width, height, bits_per_pixel);
    w->client = RECT{0, 0, width, height};
    w->visible = w->client;
    w->procedure = &DefWindowProc;
    w->owner = std::this_thread::get_id();
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    TheLayer().windows.emplace(w.get(), w);
    return w.get();
}

HWND CreateChildWindow(HWND parent, const RECT& rect, WNDPROC procedure, void* user_data) {
    if (procedure == nullptr || IsEmpty(rect)) return nullptr;
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    std::shared_ptr<WindowObject> p = FindWindowLocked(parent);
    if (p == nullptr || p->destroying) return nullptr;
    const std::int64_t width = static_cast<std::int64_t>(rect.right) - rect.left;
    const std::int64_t height = static_cast<std::int64_t>(rect.bottom) - rect.top;
    if (width > kMaxScreenSide || height > kMaxScreenSide) return nullptr;
    auto w = std::make_shared<WindowObject>();
    w->screen = p->screen;
    w->parent = p.get();
    w->client = RECT{p->client.left + rect.left, p->client.top + rect.top,
                     p->client.left + rect.right, p->client.top + rect.bottom};
    w->visible = Intersect(w->client, p->visible);
    w->procedure = procedure;
    w->user_data = user_data;
    w->owner = std::this_thread::get_id();
    w->has_update = true;
    w->update = ClientRectOf(*w);
    w->erase_pending = true;
    TheLayer().windows.emplace(w.get(), w);
    return w.get();
}

bool MoveWindow(HWND window, const RECT& rect) {
    if (IsEmpty(rect)) return false;
    const std::int64_t width = static_cast<std::int64_t>(rect.right) - rect.left;
    const std::int64_t height = static_cast<std::int64_t>(rect.bottom) - rect.top;
    if (width > kMaxScreenSide || height > kMaxScreenSide) return false;
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    std::shared_ptr<WindowObject> w = FindWindowLocked(window);
    if (w == nullptr || w->parent == nullptr || w->destroying) return false;
    const RECT& parent = w->parent->client;
    const RECT client{parent.left + rect.left, parent.top + rect.top, parent.left + rect.right,
                      parent.top + rect.bottom};
    const std::int32_t dx = client.left - w->client.left;
    const std::int32_t dy = client.top - w->client.top;
    std::vector<WindowObject*> tree;
    CollectTreeLocked(w.get(), &tree);
    // Parents come first, so each child is clipped by its parent's new visible area.
    for (WindowObject* member : tree) {
        member->client = member == w.get()
                             ? client
                             : RECT{member->client.left + dx, member->client.top + dy,
                                    member->client.right + dx, member->client.bottom + dy};
        member->visible = Intersect(member->client, member->parent->visible);
        member->has_update = true;
        member->update = ClientRectOf(*member);
        member->erase_pending = true;
    }
    // The read-out of the window changes with its place even before anything is painted.
    std::lock_guard<std::mutex> screen_guard(w->screen->lock);
    ++w->screen->changes;
    return true;
}

bool DestroyWindow(HWND window) {
    std::vector<WindowObject*> tree;
    {
        std::lock_guard<std::mutex> guard(TheLayer().lock);
        std::shared_ptr<WindowObject> w = FindWindowLocked(window);
        if (w == nullptr || w->destroying) return false;
        CollectTreeLocked(w.get(), &tree);
        for (WindowObject* member : tree) member->destroying = true;
    }
    for (WindowObject* member : tree) SendMessage(member, WM_DESTROY, 0, 0);
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) RemoveWindow(*it);
    return true;
}

bool IsWindow(HWND window) {
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    return FindWindowLocked(window) != nullptr;
}

HWND GetParent(HWND window) {
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    std::shared_ptr<WindowObject> w = FindWindowLocked(window);
    return w == nullptr ? nullptr : w->parent;
}

bool IsChild(HWND parent, HWND window) {
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    std::shared_ptr<WindowObject> w = FindWindowLocked(window);
    if (w == nullptr || FindWindowLocked(parent) == nullptr) return false;
    for (WindowObject* p = w->parent; p != nullptr; p = p->parent)
        if (p == parent) return true;
    return false;
}

void* GetWindowUserData(HWND window) {
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    std::shared_ptr<WindowObject> w = FindWindowLocked(window);
    return w == nullptr ? nullptr : w->user_data;
}

bool GetClientRect(HWND window, RECT* rect) {
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    std::shared_ptr<WindowObject> w = FindWindowLocked(window);
    if (w == nullptr || rect == nullptr) {
        if (rect != nullptr) *rect = RECT{0, 0, 0, 0};
        return false;
    }
    *rect = ClientRectOf(*w);
    return true;
}

LRESULT SendMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    WNDPROC procedure;
    {
        std::lock_guard<std::mutex> guard(TheLayer().lock);
        std::shared_ptr<WindowObject> w = FindWindowLocked(window);
        if (w == nullptr) return 0;
        procedure = w->procedure;
    }
    return procedure(window, message, wparam, lparam);
}

bool PostMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    std::shared_ptr<WindowObject> w = FindWindowLocked(window);
    if (w == nullptr || w->destroying) return false;
    TheLayer().queues[w->owner].push_back(QueuedMessage{window, message, wparam, lparam});
    return true;
}

int PumpMessages() {
    const std::thread::id me = std::this_thread::get_id();
    int delivered = 0;
    while (delivered < kMaxMessagesPerPump) {
        QueuedMessage m;
        {
            std::lock_guard<std::mutex> guard(TheLayer().lock);
            auto it = TheLayer().queues.find(me);
            if (it == TheLayer().queues.end() || it->second.empty()) break;
            m = it->second.front();
            it->second.pop_front();
        }
        SendMessage(m.window, m.message, m.wparam, m.lparam);
        ++delivered;
    }
    std::vector<HWND> to_paint;
    {
        std::lock_guard<std::mutex> guard(TheLayer().lock);
        for (auto& [key, w] : TheLayer().windows)
            if (w->owner == me && w->has_update && !w->destroying) to_paint.push_back(key);
    }
    for (HWND w : to_paint) {
        SendMessage(w, WM_PAINT, 0, 0);
        ++delivered;
    }
    return delivered;
}

LRESULT DefWindowProc(HWND window, UINT message, WPARAM, LPARAM) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        if (BeginPaint(window, &paint) != nullptr) EndPaint(window, &paint);
    }
    return 0;
}

bool InvalidateRect(HWND window, const RECT* rect, bool erase) {
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    std::shared_ptr<WindowObject> w = FindWindowLocked(window);
    if (w == nullptr) return false;
    const RECT area = Intersect(rect == nullptr ? ClientRectOf(*w) : *rect, ClientRectOf(*w));
    if (!IsEmpty(area)) {
        w->update = w->has_update ? Union(w->update, area) : area;
        w->has_update = true;
    }
    if (erase && w->has_update) w->erase_pending = true;
    return true;
}

bool GetUpdateRect(HWND window, RECT* rect) {
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    std::shared_ptr<WindowObject> w = FindWindowLocked(window);
    const bool pending = w != nullptr && w->has_update;
    if (rect != nullptr) *rect = pending ? w->update : RECT{0, 0, 0, 0};
    return pending;
}

HDC BeginPaint(HWND window, PAINTSTRUCT* paint) {
    if (paint == nullptr) return nullptr;
    bool erase;
    {
        std::lock_guard<std::mutex> guard(TheLayer().lock);
        std::shared_ptr<WindowObject> w = FindWindowLocked(window);
        if (w == nullptr) return nullptr;
        paint->rcPaint = w->has_update ? w->update : RECT{0, 0, 0, 0};
        erase = w->has_update && w->erase_pending;
        w->has_update = false;
        w->erase_pending = false;
        const RECT& r = paint->rcPaint;
        paint->hdc = CreateDcLocked(w, RECT{w->client.left + r.left, w->client.top + r.top,
                                            w->client.left + r.right, w->client.top + r.bottom});
    }
    paint->fErase =
        erase && SendMessage(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(paint->hdc), 0) == 0;
    return paint->hdc;
}

bool EndPaint(HWND, const PAINTSTRUCT* paint) {
    if (paint == nullptr) return false;
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    return ReleaseDcLocked(paint->hdc);
}

HWND SetFocus(HWND window) {
    HWND previous;
    {
        std::lock_guard<std::mutex> guard(TheLayer().lock);
        if (window != nullptr && FindWindowLocked(window) == nullptr) return nullptr;
        previous = TheLayer().focus;
        if (previous == window) return previous;
        TheLayer().focus = window;
    }
    if (previous != nullptr)
        SendMessage(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(window), 0);
    if (window != nullptr) SendMessage(window, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
    return previous;
}

HWND GetFocus() {
    std::lock_guard<std::mutex> guard(TheLayer().lock);
    return TheLayer().focus;
}

std::uint32_t WindowPixels::ColorAt(int x, int y) const {
    const std::size_t i =
        static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
    if (bits_per_pixel == 24) {
        const std::uint8_t* p = &pixels[i * 3];
        return (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[1]) << 8) |
               p[0];
    }
    const ScreenColor& c = palette[pixels[i]];
    return (static_cast<std::uint32_t>(c.red) << 16) | (static_cast<std::uint32_t>(c.green) << 8) |
           c.blue;
}

bool ReadWindowPixels(HWND window, WindowPixels* out) {
    if (out == nullptr) return false;
    std::shared_ptr<WindowObject> w;
    RECT client;
    {
        std::lock_guard<std::mutex> guard(TheLayer().lock);
        w = FindWindowLocked(window);
        if (w == nullptr) return false;
        client = w->client;  // MoveWindow changes it under this lock
    }
    Screen& s = *w->screen;
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    out->width = width;
    out->height = height;
    const bool palette_screen = s.IsPaletteScreen();
    out->bits_per_pixel = palette_screen ? s.bits_per_pixel : 24;
    const std::size_t bytes_per_pixel = palette_screen ? 1 : 3;
    out->pixels.assign(
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * bytes_per_pixel, 0);
    std::lock_guard<std::mutex> screen_guard(s.lock);
    out->palette.clear();
    for (int i = 0; i < s.system_colors; ++i) {
        const RGBQUAD& q = s.system_palette[static_cast<std::size_t>(i)];
        out->palette.push_back(ScreenColor{q.rgbBlue, q.rgbGreen, q.rgbRed, 0});
    }
    const RECT area = Intersect(client, RECT{0, 0, s.width, s.height});
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            const std::size_t from =
                static_cast<std::size_t>(y) * static_cast<std::size_t>(s.width) +
                static_cast<std::size_t>(x);
            const std::size_t to =
                (static_cast<std::size_t>(y - client.top) * static_cast<std::size_t>(width) +
                 static_cast<std::size_t>(x - client.left)) *
                bytes_per_pixel;
            if (palette_screen) {
                out->pixels[to] = s.indices[from];
            } else {
                const std::uint32_t c = s.direct[from];
                out->pixels[to] = static_cast<std::uint8_t>(c);
                out->pixels[to + 1] = static_cast<std::uint8_t>(c >> 8);
                out->pixels[to + 2] = static_cast<std::uint8_t>(c >> 16);
            }
        }
    }
    out->change_count = s.changes;
    return true;
}

std::uint64_t ScreenChangeCount(HWND window) {
    std::shared_ptr<WindowObject> w;
    {
        std::lock_guard<std::mutex> guard(TheLayer().lock);
        w = FindWindowLocked(window);
    }
    if (w == nullptr) return 0;
    std::lock_guard<std::mutex> screen_guard(w->screen->lock);
    return w->screen->changes;
}

}  // namespace platform
