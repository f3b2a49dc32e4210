// The control's identity as containers and the registry see it: class, type library and
// interface identifiers, names, help strings and programmatic identifiers.
#pragma once

#include "platform/com.h"

namespace host {

inline constexpr platform::CLSID kClsidQuorlina = {
    0x5D2E91A4, 0x7C3B, 0x4F10, {0x9A, 0x6E, 0x2B, 0x84, 0xC0, 0xD7, 0xE6, 0x13}};
inline constexpr platform::GUID kLibidQuorlin = {
    0x8B41F3C2, 0x0E6D, 0x4A95, {0xB1, 0xC7, 0x94, 0xD2, 0xE5, 0xA3, 0xF0, 0x8B}};
inline constexpr platform::IID kIidIQuorlinaLite = {
    0x3E7A19C4, 0x52D8, 0x4B6F, {0x8E, 0x21, 0xC7, 0xA9, 0xD0, 0x4F, 0x5B, 0x36}};

inline constexpr const char* kClassName = "QuorlinaLite";
inline constexpr const char* kClassHelp = "Quorlina Lite Class";
inline constexpr const char* kLibraryName = "QUORLINLib";
inline constexpr const char* kLibraryHelp = "QuorlinLite 1.0";
inline constexpr platform::WORD kLibraryMajorVersion = 1;
inline constexpr platform::WORD kLibraryMinorVersion = 0;
inline constexpr platform::LCID kLibraryLocale = platform::kLocaleEnglishUs;
inline constexpr const char* kInterfaceName = "IQuorlinaLite";
inline constexpr const char* kInterfaceHelp = "IQuorlinaLite Interface";
inline constexpr const char* kImplementationClass = "CQuorlina";
inline constexpr const char* kProgId = "Quorlin.Quorlin.1";
inline constexpr const char* kVersionIndependentProgId = "Quorlin.Quorlin";
inline constexpr const char* kThreadingModel = "Apartment";
// How the control wants to be embedded (IOleObject::GetMiscStatus and the registry).
inline constexpr platform::DWORD kMiscStatus =
    platform::OLEMISC_RECOMPOSEONRESIZE | platform::OLEMISC_CANTLINKINSIDE |
    platform::OLEMISC_INSIDEOUT | platform::OLEMISC_ACTIVATEWHENVISIBLE |
    platform::OLEMISC_SETCLIENTSITEFIRST;

}  // namespace host
