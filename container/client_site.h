// A container's site for one control: IOleClientSite, the ambient properties as property gets on
// its IDispatch (UserMode, BackColor, Palette), and IAdviseSink, which counts the control's
// view-change notices. The values are the container's to set; telling the control that they
// changed (IOleControl::OnAmbientPropertyChange) is left to HostedControl.
// Threads: everything runs on the control's container thread except OnViewChange, which the
// control's stream workers may call; the count it keeps is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/com.h"
#include "platform/gdi.h"

namespace container {

// What the site tells the control about its surroundings.
struct Ambients {
    bool user_mode = true;                          // run mode; false: design mode
    std::optional<platform::OLE_COLOR> back_color;  // none: the control's own background
    platform::HPALETTE palette = nullptr;           // none: no palette (the caller keeps it alive)
};

class ClientSite final : public platform::IOleClientSite,
                         public platform::IDispatch,
                         public platform::IAdviseSink {
  public:
    // A new site with one reference, its creator's.
    static ClientSite* Create(const Ambients& ambients);

    const Ambients& CurrentAmbients() const { return ambients_; }
    void SetAmbients(const Ambients& ambients) { ambients_ = ambients; }
    // Content view changes the control has reported.
    std::uint64_t ViewChanges() const { return view_changes_.load(); }

    // --- IUnknown ---
    platform::HRESULT QueryInterface(const platform::IID& iid, void** object) override;
    platform::ULONG AddRef() override;
    platform::ULONG Release() override;

    // --- IOleClientSite: nothing the control asks of it ---
    platform::HRESULT SaveObject() override;
    platform::HRESULT GetMoniker(platform::DWORD assign, platform::DWORD which,
                                 platform::IMoniker** moniker) override;
    platform::HRESULT GetContainer(platform::IOleContainer** container) override;
    platform::HRESULT ShowObject() override;
    platform::HRESULT OnShowWindow(platform::BOOL show) override;
    platform::HRESULT RequestNewObjectLayout() override;

    // --- IDispatch: the ambient properties, by dispatch number only ---
    platform::HRESULT GetTypeInfoCount(platform::UINT* count) override;
    platform::HRESULT GetTypeInfo(platform::UINT index, platform::LCID lcid,
                                  platform::ITypeInfo** info) override;
    platform::HRESULT GetIDsOfNames(const platform::IID& iid, platform::OLECHAR** names,
                                    platform::UINT count, platform::LCID lcid,
                                    platform::DISPID* ids) override;
    // A property get of UserMode (VT_BOOL), BackColor (VT_I4) or Palette (VT_I8, the handle);
    // DISP_E_MEMBERNOTFOUND for any other member and for a value the container does not give.
    platform::HRESULT Invoke(platform::DISPID member, const platform::IID& iid, platform::LCID lcid,
                             platform::WORD flags, platform::DISPPARAMS* params,
                             platform::VARIANT* result, platform::EXCEPINFO* exception,
                             platform::UINT* arg_error) override;

    // --- IAdviseSink ---
    void OnDataChange(platform::FORMATETC* format, platform::STGMEDIUM* medium) override;
    void OnViewChange(platform::DWORD aspect, platform::LONG index) override;
    void OnRename(platform::IMoniker* moniker) override;
    void OnSave() override;
    void OnClose() override;

  private:
    explicit ClientSite(const Ambients& ambients) : ambients_(ambients) {}
    ~ClientSite() = default;

    std::atomic<platform::ULONG> refs_{1};
    Ambients ambients_;
    std::atomic<std::uint64_t> view_changes_{0};
};

}  // namespace container
