// The control's link to its container: the client site given through IOleObject::SetClientSite,
// whose IDispatch supplies the ambient properties UserMode, BackColor and Palette, and the advise
// sink given through IViewObject::SetAdvise, told when the view changes. It is the control's
// ContainerSite, so the drawing code and the repaint request reach the container through it.
// Hard part: stream workers send view-change notices while the container thread may swap the
// sink, so the sink is swapped under a small lock and held by a reference while it is called;
// ambient values are read on the container thread and kept in atomics for any reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "control/container_site.h"
#include "platform/com.h"

namespace host {

class SiteLink final : public control::ContainerSite {
  public:
    SiteLink() = default;
    ~SiteLink() override;  // lets go of the site and the sink
    SiteLink(const SiteLink&) = delete;
    SiteLink& operator=(const SiteLink&) = delete;

    // Holds the site (null: none) and reads all its ambient properties. Container thread.
    void SetSite(platform::IOleClientSite* site);
    // The site held, without a reference; container thread.
    platform::IOleClientSite* Site() const { return site_; }

    // Reads the ambient property `member` again (DISPID_UNKNOWN: all three). A property the site
    // does not give is forgotten, so the control's own default applies. Container thread.
    void ReadAmbients(platform::DISPID member);

    // IViewObject::SetAdvise and GetAdvise.
    platform::HRESULT SetAdvise(platform::DWORD aspects, platform::DWORD advf,
                                platform::IAdviseSink* sink);
    platform::HRESULT GetAdvise(platform::DWORD* aspects, platform::DWORD* advf,
                                platform::IAdviseSink** sink);

    // --- control::ContainerSite ---
    bool AmbientUserMode(bool* run_mode) override;
    bool AmbientBackColor(platform::OLE_COLOR* color) override;
    bool AmbientPalette(platform::HPALETTE* palette) override;
    // Tells the sink the content changed; from any thread.
    void OnViewChange() override;

  private:
    static constexpr int kNotGiven = -1;

    platform::IOleClientSite* site_ = nullptr;
    std::atomic<int> user_mode_{kNotGiven};             // 1 run, 0 design
    std::atomic<std::int64_t> back_color_{kNotGiven};   // an OLE_COLOR when given
    std::atomic<platform::HPALETTE> palette_{nullptr};  // null: none given

    std::mutex sink_lock_;  // guards the three below
    platform::IAdviseSink* sink_ = nullptr;
    platform::DWORD sink_aspects_ = 0;
    platform::DWORD sink_advf_ = 0;
};

}  // namespace host
