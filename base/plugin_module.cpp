// The module-wide values that every part of the plug-in reads, and the load
// of the DLLs it works with.
#include "plugin_module.h"

HINSTANCE OwnModule = NULL;
CRITICAL_SECTION StateLock;
HANDLE StartStopFree = NULL;

void CreateModuleObjects(HINSTANCE module)
{
    OwnModule = module;
    InitializeCriticalSection(&StateLock);
    StartStopFree = CreateEventA(NULL, FALSE, TRUE, NULL);
}

void DeleteModuleObjects(void)
{
    if (StartStopFree != NULL)
        CloseHandle(StartStopFree);
    StartStopFree = NULL;
    DeleteCriticalSection(&StateLock);
    OwnModule = NULL;
}

namespace {

// The full path of fileName in this DLL's own folder, into out (MAX_PATH
// bytes). FALSE when the DLL's own path cannot be had whole, holds no folder,
// or the result would not fit: then there is nothing to load by full path.
BOOL OwnFolderPath(char* out, const char* fileName)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(OwnModule, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return FALSE;
    // The folder ends after the last separator. The path is in the ANSI code
    // page and walked a character at a time: in Shift-JIS the second byte of
    // a double-byte character may be 0x5C, the byte of the backslash.
    DWORD folderLength = 0;
    for (DWORD i = 0; i < n; ++i) {
        if (IsDBCSLeadByte((BYTE)path[i]) && i + 1 < n)
            ++i;
        else if (path[i] == '\\' || path[i] == '/')
            folderLength = i + 1;
    }
    int nameLength = lstrlenA(fileName);
    if (folderLength == 0 || folderLength + nameLength >= MAX_PATH)
        return FALSE;
    CopyMemory(out, path, folderLength);
    CopyMemory(out + folderLength, fileName, nameLength + 1);
    return TRUE;
}

BOOL IsNotFound(DWORD error)
{
    return error == ERROR_MOD_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ||
           error == ERROR_PATH_NOT_FOUND;
}

} // namespace

HMODULE LoadPluginLibrary(const char* fileName)
{
    HMODULE module = LoadLibraryA(fileName);
    if (module != NULL)
        return module;
    DWORD error = GetLastError();

    char path[MAX_PATH];
    if (OwnFolderPath(path, fileName)) {
        // With a full path, LOAD_WITH_ALTERED_SEARCH_PATH makes the DLL's own
        // imports be looked for in its folder first, as they are for a DLL
        // beside the host program.
        module = LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (module != NULL)
            return module;
        // The code reported: the bare-name load's, which says why the usual
        // place failed; unless the file beside the plug-in was found but
        // could not be loaded (a 64-bit DLL, a missing import, no right to
        // read it): the user put that file there, and its reason is the one
        // to fix.
        DWORD besideError = GetLastError();
        if (!IsNotFound(besideError))
            error = besideError;
    }
    TracePluginLibrary(fileName, "not loaded (error %lu)", error);
    return NULL;
}

void TracePluginLibrary(const char* fileName, const char* problem, DWORD value)
{
    // wsprintfA writes at most 1024 bytes; the file names are short.
    char format[256];
    char line[1024];
    if (lstrlenA(problem) > 200)
        return;
    lstrcpyA(format, "tebo_wrapper: %s ");
    lstrcatA(format, problem);
    lstrcatA(format, "\n");
    wsprintfA(line, format, fileName, value);
    OutputDebugStringA(line);
}
