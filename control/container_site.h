// What the control asks of its container: ambient properties, UI activation, focus and view
// change notices. The embedding layer implements it for real containers; hosts and tests may
// implement the parts they need. Without a site the control uses its own defaults.
#pragma once

#include "platform/gdi.h"

namespace control {

class ContainerSite {
  public:
    virtual ~ContainerSite() = default;

    // Ambient properties: false when the container does not supply the value.
    virtual bool AmbientUserMode(bool* /*run_mode*/) { return false; }
    virtual bool AmbientBackColor(platform::OLE_COLOR* /*color*/) { return false; }
    virtual bool AmbientPalette(platform::HPALETTE* /*palette*/) { return false; }

    // The control's UI-activate verb: asks the container to make the control the UI-active one.
    virtual void UIActivate() {}
    // The control site's focus notice.
    virtual void OnFocus(bool /*gained*/) {}
    // The view sink: the control's picture changed. Called from stream workers too.
    virtual void OnViewChange() {}
};

}  // namespace control
