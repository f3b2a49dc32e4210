#include "apps/sdl_library.h"

#include <dlfcn.h>

#include <mutex>

namespace apps {
namespace {

// SDL2's run-time name: the one its packages install and its ABI promises to keep.
constexpr const char* kSdlName = "libSDL2-2.0.so.0";

struct Opened {
    SdlLibrary sdl{};
    std::string error;
    bool ok = false;
};

template <typename F>
bool Find(void* handle, const char* name, F* into, std::string* error) {
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        *error = std::string(kSdlName) + " has no " + name;
        return false;
    }
    *into = reinterpret_cast<F>(symbol);
    return true;
}

Opened Open() {
    Opened o;
    void* handle = dlopen(kSdlName, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        o.error = std::string("the viewer needs SDL2 (") + kSdlName +
                  "), which could not be loaded: " + (why != nullptr ? why : "no reason given");
        return o;
    }
    SdlLibrary& s = o.sdl;
    std::string& e = o.error;
    // The library stays open for the rest of the process: SDL keeps threads and handlers of its
    // own once initialised.
    o.ok = Find(handle, "SDL_CreateRenderer", &s.CreateRenderer, &e) &&
           Find(handle, "SDL_CreateTexture", &s.CreateTexture, &e) &&
           Find(handle, "SDL_CreateWindow", &s.CreateWindow, &e) &&
           Find(handle, "SDL_DestroyRenderer", &s.DestroyRenderer, &e) &&
           Find(handle, "SDL_DestroyTexture", &s.DestroyTexture, &e) &&
           Find(handle, "SDL_DestroyWindow", &s.DestroyWindow, &e) &&
           Find(handle, "SDL_GetDisplayUsableBounds", &s.GetDisplayUsableBounds, &e) &&
           Find(handle, "SDL_GetError", &s.GetError, &e) &&
           Find(handle, "SDL_GetRendererOutputSize", &s.GetRendererOutputSize, &e) &&
           Find(handle, "SDL_GetWindowSize", &s.GetWindowSize, &e) &&
           Find(handle, "SDL_Init", &s.Init, &e) &&
           Find(handle, "SDL_PollEvent", &s.PollEvent, &e) &&
           Find(handle, "SDL_Quit", &s.Quit, &e) &&
           Find(handle, "SDL_RenderClear", &s.RenderClear, &e) &&
           Find(handle, "SDL_RenderCopy", &s.RenderCopy, &e) &&
           Find(handle, "SDL_RenderFillRect", &s.RenderFillRect, &e) &&
           Find(handle, "SDL_RenderFillRects", &s.RenderFillRects, &e) &&
           Find(handle, "SDL_RenderPresent", &s.RenderPresent, &e) &&
           Find(handle, "SDL_SetHint", &s.SetHint, &e) &&
           Find(handle, "SDL_SetRenderDrawColor", &s.SetRenderDrawColor, &e) &&
           Find(handle, "SDL_SetWindowMaximumSize", &s.SetWindowMaximumSize, &e) &&
           Find(handle, "SDL_SetWindowTitle", &s.SetWindowTitle, &e) &&
           Find(handle, "SDL_UpdateTexture", &s.UpdateTexture, &e) &&
           Find(handle, "SDL_WaitEventTimeout", &s.WaitEventTimeout, &e);
    return o;
}

}  // namespace

const SdlLibrary* OpenSdl(std::string* error) {
    static const Opened opened = Open();
    if (!opened.ok) {
        *error = opened.error;
        return nullptr;
    }
    return &opened.sdl;
}

}  // namespace apps
