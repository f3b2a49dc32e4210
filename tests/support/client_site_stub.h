// The IOleClientSite methods a test's own site does not need, each answering E_NOTIMPL, so the
// test writes only IUnknown and what it checks.
#pragma once

#include "platform/com.h"

namespace testsupport {

class ClientSiteStub : public platform::IOleClientSite {
  public:
    platform::HRESULT SaveObject() override { return platform::E_NOTIMPL; }
    platform::HRESULT GetMoniker(platform::DWORD, platform::DWORD, platform::IMoniker**) override {
        return platform::E_NOTIMPL;
    }
    platform::HRESULT GetContainer(platform::IOleContainer**) override {
        return platform::E_NOTIMPL;
    }
    platform::HRESULT ShowObject() override { return platform::E_NOTIMPL; }
    platform::HRESULT OnShowWindow(platform::BOOL) override { return platform::E_NOTIMPL; }
    platform::HRESULT RequestNewObjectLayout() override { return platform::E_NOTIMPL; }
};

}  // namespace testsupport
