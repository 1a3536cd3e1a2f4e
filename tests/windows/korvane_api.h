// Korvane.dll loaded at run time, as a host application without the import library loads
// it: LoadLibraryW, then one GetProcAddress per export.
#pragma once

#include <windows.h>

#include "korvane/korvane.h"

namespace korvane::wine {

// One pointer per export, typed from the public header so that a mismatch between the
// header and what the DLL exports shows up as a wrong call, not as a silent cast.
struct KorvaneApi {
    decltype(&Korvane_Connect) Connect = nullptr;
    decltype(&Korvane_Disconnect) Disconnect = nullptr;
    decltype(&Korvane_GetLastError) GetLastError = nullptr;
    decltype(&Korvane_GetVersion) GetVersion = nullptr;
    decltype(&Korvane_GetState) GetState = nullptr;
    decltype(&Korvane_GetPosition) GetPosition = nullptr;
    decltype(&Korvane_GetSpeed) GetSpeed = nullptr;
    decltype(&Korvane_GetLimits) GetLimits = nullptr;
    decltype(&Korvane_GetDeviceUUID) GetDeviceUUID = nullptr;
    decltype(&Korvane_JogAbs) JogAbs = nullptr;
    decltype(&Korvane_JogRel) JogRel = nullptr;
    decltype(&Korvane_SetPos) SetPos = nullptr;
    decltype(&Korvane_SetAcceleration) SetAcceleration = nullptr;
    decltype(&Korvane_EnableSoftLimits) EnableSoftLimits = nullptr;
    decltype(&Korvane_SetSoftLimitRange) SetSoftLimitRange = nullptr;
    decltype(&Korvane_EmergencyStop) EmergencyStop = nullptr;
    decltype(&Korvane_FeedHold) FeedHold = nullptr;
    decltype(&Korvane_Resume) Resume = nullptr;
    decltype(&Korvane_Home) Home = nullptr;
    decltype(&Korvane_VelocityStart) VelocityStart = nullptr;
    decltype(&Korvane_VelocityStop) VelocityStop = nullptr;
};

// Owns the loaded module; the exports stay callable for the object's lifetime.
class KorvaneLibrary {
  public:
    KorvaneLibrary() = default;
    ~KorvaneLibrary();
    KorvaneLibrary(const KorvaneLibrary&) = delete;
    KorvaneLibrary& operator=(const KorvaneLibrary&) = delete;

    // Loads the DLL at path and resolves every export, naming each one that is missing on
    // stderr. False unless the module loaded and all 21 exports resolved.
    bool load(const wchar_t* path);
    const KorvaneApi& api() const { return api_; }

  private:
    HMODULE module_ = nullptr;
    KorvaneApi api_;
};

}  // namespace korvane::wine
