#include "support/plugin_host.h"

#include <gtest/gtest.h>

#include "emulation/player_window.h"

namespace testing_support {

LoadedPlugin::LoadedPlugin() : module_(NULL)
{
    ZeroMemory(&descriptor_, sizeof(descriptor_));
    std::string copy = DllPath();
    if (!CopyFileA(TEBO_PLUGIN_PATH, copy.c_str(), FALSE)) {
        ADD_FAILURE() << "cannot copy " << TEBO_PLUGIN_PATH;
        return;
    }
    module_ = LoadLibraryA(copy.c_str());
    if (module_ == NULL) {
        ADD_FAILURE() << "LoadLibraryA failed: " << GetLastError();
        return;
    }
    const void* entry = (const void*)GetProcAddress(module_, "VISGetPluginInfo");
    if (entry == NULL) {
        ADD_FAILURE() << "no VISGetPluginInfo export";
        return;
    }
    uintptr_t arg = (uintptr_t)&descriptor_;
    uint32_t result = 0;
    EXPECT_TRUE(CallStdcall(entry, &arg, 1, &result))
        << "VISGetPluginInfo left the stack unbalanced";
    EXPECT_EQ(0u, result);
}

LoadedPlugin::~LoadedPlugin()
{
    Unload();
}

void LoadedPlugin::Unload()
{
    if (module_ != NULL)
        FreeLibrary(module_);
    module_ = NULL;
}

int LoadedPlugin::Call(const void* fn, const uintptr_t* args, int count)
{
    uint32_t result = 0xDEADBEEF;
    EXPECT_TRUE(CallStdcall(fn, args, count, &result))
        << "entry did not remove its " << count << " arguments";
    return (int)result;
}

int LoadedPlugin::Init()
{
    uintptr_t args[2] = {0x11111111, 0x22222222};
    return Call((const void*)descriptor_.init, args, 2);
}

int LoadedPlugin::Quit()
{
    return Call((const void*)descriptor_.quit, NULL, 0);
}

int LoadedPlugin::TrackStart(TrackId track, const char* path, LONG lengthMs)
{
    uintptr_t args[8] = {track, (uintptr_t)path, 0xA1, 0xA2, 0xA3,
                         0xA4, (uint32_t)lengthMs, 0xA5};
    return Call((const void*)descriptor_.trackStart, args, 8);
}

int LoadedPlugin::TrackStop(TrackId track)
{
    uintptr_t args[1] = {track};
    return Call((const void*)descriptor_.trackStop, args, 1);
}

int LoadedPlugin::Progress(TrackId track, LONG positionMs, LONG progressValue)
{
    uintptr_t args[3] = {track, (uint32_t)positionMs, (uint32_t)progressValue};
    return Call((const void*)descriptor_.progress, args, 3);
}

int LoadedPlugin::Configure(HWND owner)
{
    uintptr_t args[1] = {(uintptr_t)owner};
    return Call((const void*)descriptor_.configure, args, 1);
}

HWND FindPlayerWindow()
{
    HWND window = NULL;
    while ((window = FindWindowExA(NULL, window,
                                   PLAYER_CLASS_NAME, NULL)) != NULL) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == GetCurrentProcessId())
            return window;
    }
    return NULL;
}

LRESULT Query(HWND window, WPARAM wparam, LPARAM lparam)
{
    return SendMessageA(window, WM_USER, wparam, lparam);
}

} // namespace testing_support
