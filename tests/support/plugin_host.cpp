#include "support/plugin_host.h"

#include <gtest/gtest.h>

namespace testing_support {

LoadedPlugin::LoadedPlugin() : dllPath_(dir_.File("tebo_wrapper.dll"))
{
    if (!CopyFileA(TEBO_PLUGIN_PATH, dllPath_.c_str(), FALSE)) {
        ADD_FAILURE() << "cannot copy " << TEBO_PLUGIN_PATH;
        return;
    }
    std::string error;
    Take(session_.Load(dllPath_, &error), error);
}

LoadedPlugin::LoadedPlugin(const std::string& dllPath) : dllPath_(dllPath)
{
    std::string error;
    Take(session_.Load(dllPath_, &error), error);
}

LoadedPlugin::LoadedPlugin(HMODULE module, const std::string& dllPath)
    : dllPath_(dllPath)
{
    std::string error;
    Take(session_.Adopt(module, dllPath, &error), error);
}

void LoadedPlugin::Take(bool ok, const std::string& error)
{
    if (!ok) {
        ADD_FAILURE() << error;
        session_.Unload();
    }
}

std::string LoadedPlugin::TagFile() const
{
    return dllPath_.substr(0, dllPath_.size() - 3) + "mp3";
}

int LoadedPlugin::Checked(int result)
{
    EXPECT_EQ("", session_.EntryFault());
    return result;
}

HWND FindPlayerWindow()
{
    HWND window = NULL;
    while ((window = FindWindowExA(NULL, window,
                                   PlayerClassName, NULL)) != NULL) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == GetCurrentProcessId())
            return window;
    }
    return NULL;
}

LRESULT Query(HWND window, WPARAM wparam, LPARAM lparam)
{
    DWORD_PTR answer = 0xDEADBEEF;
    SetLastError(0);
    LRESULT sent = SendMessageTimeoutA(window, WM_USER, wparam, lparam,
                                       SMTO_NORMAL, 5000, &answer);
    EXPECT_NE(0, sent) << "query lp=" << (long)lparam
                       << " not answered, error " << GetLastError();
    return (LRESULT)answer;
}

} // namespace testing_support
