// Stand-in for the tag library mp3infp.dll: the four entry points the plug-in
// calls, answering from per-path scripts that the tests set through the cdecl
// functions of fake_tags.h, and a log of every entry-point call in order.
#include "fake_tags.h"

#include <stdio.h>

#include <list>
#include <map>
#include <string>
#include <vector>

namespace {

struct ValueScript {
    bool isNull;
    const char* text;   // points into Texts; never freed
};

struct FileScript {
    DWORD loadResult;
    DWORD typeCode;
    std::map<std::string, ValueScript> values;
};

// Everything below is guarded by Lock: the plug-in calls the entries on its
// window thread while the test scripts from its own threads.
CRITICAL_SECTION Lock;
std::map<std::string, FileScript> Files;
// Every text ever handed out stays alive until the process ends: the caller
// may still be copying a text while a test rescripts or resets.
std::list<std::string> Texts;
std::vector<std::string> Calls;
bool LeaveUntouched = false;
// The file of the last successful load, or none.
bool HaveLoaded = false;
FileScript Loaded;

const char* KeepText(const char* text)
{
    Texts.push_back(text);
    return Texts.back().c_str();
}

void Record(const std::string& call)
{
    Calls.push_back(call);
}

std::string Show(const char* text)
{
    return text != NULL ? std::string(text) : std::string("(null)");
}

// FakeTags_HoldCreation's: the class and how long.
char HoldClass[64];
volatile DWORD HoldMs = 0;

LRESULT CALLBACK HoldCreation(int code, WPARAM wparam, LPARAM lparam)
{
    const CBT_CREATEWNDA* create = (const CBT_CREATEWNDA*)lparam;
    if (code == HCBT_CREATEWND && HoldMs != 0 &&
        !IS_INTRESOURCE(create->lpcs->lpszClass) &&
        lstrcmpA(create->lpcs->lpszClass, HoldClass) == 0)
        Sleep(HoldMs);
    return CallNextHookEx(NULL, code, wparam, lparam);
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    // A hook of the new thread's own: one for every thread would reach
    // other processes too.
    if (reason == DLL_THREAD_ATTACH && HoldMs != 0)
        SetWindowsHookExA(WH_CBT, HoldCreation, NULL, GetCurrentThreadId());
    if (reason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&Lock);
    else if (reason == DLL_PROCESS_DETACH)
        DeleteCriticalSection(&Lock);
    return TRUE;
}

// --- The library's entry points (stdcall, exported undecorated) -----------

extern "C" DWORD WINAPI mp3infp_Load(HWND window, const char* path)
{
    EnterCriticalSection(&Lock);
    std::string call = "Load(" + Show(path);
    if (window != NULL) {
        char number[32];
        sprintf(number, ",hwnd=%lu", (unsigned long)(ULONG_PTR)window);
        call += number;
    }
    Record(call + ")");
    DWORD result = 1;
    HaveLoaded = false;
    if (path != NULL) {
        std::map<std::string, FileScript>::const_iterator it = Files.find(path);
        if (it != Files.end()) {
            result = it->second.loadResult;
            if (result == 0) {
                Loaded = it->second;
                HaveLoaded = true;
            }
        }
    }
    LeaveCriticalSection(&Lock);
    return result;
}

extern "C" BOOL WINAPI mp3infp_SetConf(const char* name, const char* value)
{
    EnterCriticalSection(&Lock);
    Record("SetConf(" + Show(name) + "," + Show(value) + ")");
    LeaveCriticalSection(&Lock);
    return TRUE;
}

extern "C" DWORD WINAPI mp3infp_GetType(void)
{
    EnterCriticalSection(&Lock);
    Record("GetType");
    DWORD type = HaveLoaded ? Loaded.typeCode : 0;
    LeaveCriticalSection(&Lock);
    return type;
}

extern "C" BOOL WINAPI mp3infp_GetValue(const char* name, char** text)
{
    EnterCriticalSection(&Lock);
    Record("GetValue(" + Show(name) + ")");
    BOOL found = FALSE;
    std::map<std::string, ValueScript>::const_iterator it;
    if (HaveLoaded && name != NULL &&
        (it = Loaded.values.find(name)) != Loaded.values.end()) {
        *text = it->second.isNull ? NULL : const_cast<char*>(it->second.text);
        found = !it->second.isNull;
    } else if (!LeaveUntouched) {
        *text = NULL;
    }
    LeaveCriticalSection(&Lock);
    return found;
}

// --- Scripting (cdecl) ------------------------------------------------------

extern "C" void FakeTags_Reset(void)
{
    EnterCriticalSection(&Lock);
    Files.clear();
    Calls.clear();
    LeaveUntouched = false;
    HaveLoaded = false;
    Loaded = FileScript();
    LeaveCriticalSection(&Lock);
}

extern "C" void FakeTags_SetFile(const char* path, DWORD loadResult,
                                 DWORD typeCode)
{
    EnterCriticalSection(&Lock);
    FileScript& file = Files[Show(path)];
    file.loadResult = loadResult;
    file.typeCode = typeCode;
    LeaveCriticalSection(&Lock);
}

extern "C" void FakeTags_SetValue(const char* path, const char* name,
                                  const char* text)
{
    EnterCriticalSection(&Lock);
    // A value for a path not yet scripted scripts it as refused, so that
    // only FakeTags_SetFile decides whether it loads.
    std::map<std::string, FileScript>::iterator file = Files.find(Show(path));
    if (file == Files.end()) {
        FileScript refused;
        refused.loadResult = 1;
        refused.typeCode = 0;
        file = Files.insert(std::make_pair(Show(path), refused)).first;
    }
    ValueScript value;
    value.isNull = text == NULL;
    value.text = text != NULL ? KeepText(text) : NULL;
    file->second.values[Show(name)] = value;
    LeaveCriticalSection(&Lock);
}

extern "C" void FakeTags_LeaveUntouched(int leave)
{
    EnterCriticalSection(&Lock);
    LeaveUntouched = leave != 0;
    LeaveCriticalSection(&Lock);
}

extern "C" int FakeTags_CallCount(void)
{
    EnterCriticalSection(&Lock);
    int count = (int)Calls.size();
    LeaveCriticalSection(&Lock);
    return count;
}

// Copies call index (cut to size - 1 bytes) into buffer; returns the call's
// full length, or -1 when there is no such call.
extern "C" int FakeTags_GetCall(int index, char* buffer, int size)
{
    EnterCriticalSection(&Lock);
    int length = -1;
    if (index >= 0 && index < (int)Calls.size()) {
        const std::string& call = Calls[index];
        length = (int)call.size();
        if (buffer != NULL && size > 0) {
            int n = length < size - 1 ? length : size - 1;
            call.copy(buffer, n);
            buffer[n] = '\0';
        }
    }
    LeaveCriticalSection(&Lock);
    return length;
}

extern "C" void FakeTags_HoldCreation(const char* className, DWORD ms)
{
    lstrcpynA(HoldClass, className, sizeof(HoldClass));
    HoldMs = ms;
}
