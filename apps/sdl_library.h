// SDL2, opened when the viewer opens its window rather than when the program starts. Linked
// directly, SDL2 and the forty-odd libraries it brings (X11, Wayland, sound, D-Bus) are mapped and
// relocated by every `quorlina` command: about 9 ms and 5 MB before `decode` or `camera` has done
// anything. Only `view` needs it, so only `view` pays for it.
#pragma once

#include <SDL.h>

#include <string>

namespace apps {

// The SDL functions the viewer calls, with SDL's own signatures.
struct SdlLibrary {
    decltype(&SDL_CreateRenderer) CreateRenderer;
    decltype(&SDL_CreateTexture) CreateTexture;
    decltype(&SDL_CreateWindow) CreateWindow;
    decltype(&SDL_DestroyRenderer) DestroyRenderer;
    decltype(&SDL_DestroyTexture) DestroyTexture;
    decltype(&SDL_DestroyWindow) DestroyWindow;
    decltype(&SDL_GetDisplayUsableBounds) GetDisplayUsableBounds;
    decltype(&SDL_GetError) GetError;
    decltype(&SDL_GetRendererOutputSize) GetRendererOutputSize;
    decltype(&SDL_GetWindowSize) GetWindowSize;
    decltype(&SDL_Init) Init;
    decltype(&SDL_PollEvent) PollEvent;
    decltype(&SDL_Quit) Quit;
    decltype(&SDL_RenderClear) RenderClear;
    decltype(&SDL_RenderCopy) RenderCopy;
    decltype(&SDL_RenderFillRect) RenderFillRect;
    decltype(&SDL_RenderFillRects) RenderFillRects;
    decltype(&SDL_RenderPresent) RenderPresent;
    decltype(&SDL_SetHint) SetHint;
    decltype(&SDL_SetRenderDrawColor) SetRenderDrawColor;
    decltype(&SDL_SetWindowMaximumSize) SetWindowMaximumSize;
    decltype(&SDL_SetWindowTitle) SetWindowTitle;
    decltype(&SDL_UpdateTexture) UpdateTexture;
    decltype(&SDL_WaitEventTimeout) WaitEventTimeout;
};

// The library, opened on the first call and kept for the rest of the process; nullptr with
// *error naming the library and the loader's reason when it cannot be opened or lacks a function.
const SdlLibrary* OpenSdl(std::string* error);

}  // namespace apps
