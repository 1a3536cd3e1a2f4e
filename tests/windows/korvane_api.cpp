#include "korvane_api.h"

#include <cstdio>

namespace korvane::wine {

namespace {

// GetProcAddress hands out a generic FARPROC; the cast to the header's type is the one
// place where the two must agree.
template <typename Function>
bool resolve(HMODULE module, const char* name, Function* out) {
    const FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) {
        std::fprintf(stderr, "missing export: %s (GetLastError %lu)\n", name,
                     static_cast<unsigned long>(::GetLastError()));
        return false;
    }
    *out = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
    return true;
}

}  // namespace

KorvaneLibrary::~KorvaneLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
}

bool KorvaneLibrary::load(const wchar_t* path) {
    module_ = LoadLibraryW(path);
    if (module_ == nullptr) {
        std::fprintf(stderr, "LoadLibraryW(%ls) failed: error %lu\n", path,
                     static_cast<unsigned long>(::GetLastError()));
        return false;
    }
    // Every export is looked up, also after a miss, so that one run names all that are absent.
    bool all = true;
    all &= resolve(module_, "Korvane_Connect", &api_.Connect);
    all &= resolve(module_, "Korvane_Disconnect", &api_.Disconnect);
    all &= resolve(module_, "Korvane_GetLastError", &api_.GetLastError);
    all &= resolve(module_, "Korvane_GetVersion", &api_.GetVersion);
    all &= resolve(module_, "Korvane_GetState", &api_.GetState);
    all &= resolve(module_, "Korvane_GetPosition", &api_.GetPosition);
    all &= resolve(module_, "Korvane_GetSpeed", &api_.GetSpeed);
    all &= resolve(module_, "Korvane_GetLimits", &api_.GetLimits);
    all &= resolve(module_, "Korvane_GetDeviceUUID", &api_.GetDeviceUUID);
    all &= resolve(module_, "Korvane_JogAbs", &api_.JogAbs);
    all &= resolve(module_, "Korvane_JogRel", &api_.JogRel);
    all &= resolve(module_, "Korvane_SetPos", &api_.SetPos);
    all &= resolve(module_, "Korvane_SetAcceleration", &api_.SetAcceleration);
    all &= resolve(module_, "Korvane_EnableSoftLimits", &api_.EnableSoftLimits);
    all &= resolve(module_, "Korvane_SetSoftLimitRange", &api_.SetSoftLimitRange);
    all &= resolve(module_, "Korvane_EmergencyStop", &api_.EmergencyStop);
    all &= resolve(module_, "Korvane_FeedHold", &api_.FeedHold);
    all &= resolve(module_, "Korvane_Resume", &api_.Resume);
    all &= resolve(module_, "Korvane_Home", &api_.Home);
    all &= resolve(module_, "Korvane_VelocityStart", &api_.VelocityStart);
    all &= resolve(module_, "Korvane_VelocityStop", &api_.VelocityStop);
    return all;
}

}  // namespace korvane::wine
