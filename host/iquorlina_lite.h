// IQuorlinaLite, the control's dual scripting interface: its members in virtual-table order after
// the seven IDispatch slots, with the automation types of their parameters and results. Callable
// directly through these functions or by dispatch number through IDispatch::Invoke.
#pragma once

#include "platform/com.h"

namespace host {

using platform::BSTR;
using platform::HRESULT;
using platform::LONG;
using platform::VARIANT_BOOL;

class IQuorlinaLite : public platform::IDispatch {
  public:
    virtual HRESULT put_Enabled(VARIANT_BOOL value) = 0;
    virtual HRESULT get_Enabled(VARIANT_BOOL* pbool) = 0;
    virtual HRESULT get_Window(LONG* phwnd) = 0;
    virtual HRESULT Play() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT get_FrameRate(double* pVal) = 0;
    virtual HRESULT get_RemoteHost(BSTR* pVal) = 0;
    virtual HRESULT put_RemoteHost(BSTR value) = 0;
    virtual HRESULT get_RemotePort(LONG* pVal) = 0;
    virtual HRESULT put_RemotePort(LONG value) = 0;
    virtual HRESULT get_Timeout(LONG* pVal) = 0;
    virtual HRESULT put_Timeout(LONG value) = 0;
    virtual HRESULT get_PreviewFrameRate(LONG* pVal) = 0;
    virtual HRESULT put_PreviewFrameRate(LONG value) = 0;
    virtual HRESULT GetRealTimeData(LONG* pVal) = 0;
    virtual HRESULT get_TimeString(BSTR* pVal) = 0;
    virtual HRESULT get_IOOut1(LONG* pVal) = 0;
    virtual HRESULT put_IOOut1(LONG value) = 0;
    virtual HRESULT get_IOOut2(LONG* pVal) = 0;
    virtual HRESULT put_IOOut2(LONG value) = 0;
    virtual HRESULT get_PreviewWidth(LONG* pVal) = 0;
    virtual HRESULT put_PreviewWidth(LONG value) = 0;
    virtual HRESULT get_PreviewHeight(LONG* pVal) = 0;
    virtual HRESULT put_PreviewHeight(LONG value) = 0;
    virtual HRESULT get_DeviceSerialNo(BSTR* pVal) = 0;
    virtual HRESULT put_DeviceSerialNo(BSTR value) = 0;
    virtual HRESULT get_AuthType(LONG* pVal) = 0;
    virtual HRESULT put_AuthType(LONG value) = 0;
    virtual HRESULT get_RemoteWeb(LONG* pVal) = 0;
    virtual HRESULT put_RemoteWeb(LONG value) = 0;
    virtual HRESULT get_ImageUpload(LONG* pVal) = 0;
    virtual HRESULT put_ImageUpload(LONG value) = 0;
    virtual HRESULT get_EmailImage(LONG* pVal) = 0;
    virtual HRESULT put_EmailImage(LONG value) = 0;
    virtual HRESULT get_SetName(BSTR* pVal) = 0;
    virtual HRESULT put_SetName(BSTR value) = 0;
    virtual HRESULT get_PanSingleMoveDegree(LONG* pVal) = 0;
    virtual HRESULT put_PanSingleMoveDegree(LONG value) = 0;
    virtual HRESULT get_TiltSingleMoveDegree(LONG* pVal) = 0;
    virtual HRESULT put_TiltSingleMoveDegree(LONG value) = 0;
    virtual HRESULT get_GetHorizontalPosition(LONG* pVal) = 0;
    virtual HRESULT put_GetHorizontalPosition(LONG value) = 0;
    virtual HRESULT get_GetVerticalPosition(LONG* pVal) = 0;
    virtual HRESULT put_GetVerticalPosition(LONG value) = 0;
    virtual HRESULT get_MovePanTiltDegree(LONG* pVal) = 0;
    virtual HRESULT put_MovePanTiltDegree(LONG value) = 0;
    virtual HRESULT get_ClearPosition(LONG* pVal) = 0;
    virtual HRESULT put_ClearPosition(LONG value) = 0;
    virtual HRESULT get_SetPosition(LONG* pVal) = 0;
    virtual HRESULT put_SetPosition(LONG value) = 0;
    virtual HRESULT get_MovePanTiltPosition(LONG* pVal) = 0;
    virtual HRESULT put_MovePanTiltPosition(LONG value) = 0;
    virtual HRESULT get_SwingMode(LONG* pVal) = 0;
    virtual HRESULT put_SwingMode(LONG value) = 0;
    virtual HRESULT Zoom(LONG lMode, LONG* pVal) = 0;
    virtual HRESULT ResizeMode(LONG lMode, LONG* pVal) = 0;
    virtual HRESULT DisplayMode(LONG lMode, LONG* pVal) = 0;
    virtual HRESULT MoveToPos(LONG lPosP, LONG lPosT, LONG* pVal) = 0;
};

}  // namespace host
