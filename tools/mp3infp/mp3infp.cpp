// A tag library with mp3infp's programming interface, for the demo and for
// checking the plug-in with real files: it reads MP3 files (type 1: ID3v2
// texts under the "_v2" names, ID3v1 texts under the "_v1" names) and WAV
// files (type 2: the RIFF INFO texts under their own names) and refuses
// everything else. The byte parsing lives in media/media_tags.cpp; this layer
// reads the file and delivers the texts in the system's ANSI code page.
//
// The entry points use the stdcall convention and are exported undecorated
// by the .def file. A text pointer handed out by mp3infp_GetValue stays valid
// until the next mp3infp_Load. Calls are serialised by a lock of the library's
// own, so two threads cannot tear the loaded file's values apart.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "common/console_text.h"
#include "media/media_tags.h"

namespace {

// Larger files are refused rather than read whole into memory.
const DWORD MaxFileBytes = 1024u * 1024u * 1024u;

CRITICAL_SECTION LibraryLock;

struct LoadedFile {
    DWORD type = media::MediaTypeUnknown;
    std::vector<std::pair<std::string, std::string>> values;   // name, ANSI
};
LoadedFile Current;

// 0, or the Win32 error that kept the file from being read.
DWORD ReadWholeFile(const char* path, std::vector<uint8_t>* bytes)
{
    HANDLE file = CreateFileA(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    DWORD error = 0;
    DWORD high = 0;
    DWORD size = GetFileSize(file, &high);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
        error = GetLastError();
    } else if (high != 0 || size > MaxFileBytes) {
        error = ERROR_FILE_TOO_LARGE;
    } else {
        bytes->resize(size);
        DWORD got = 0;
        if (size > 0 && (!ReadFile(file, bytes->data(), size, &got, NULL) ||
                         got != size))
            error = ERROR_READ_FAULT;
    }
    CloseHandle(file);
    return error;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&LibraryLock);
        DisableThreadLibraryCalls(module);
    } else if (reason == DLL_PROCESS_DETACH) {
        DeleteCriticalSection(&LibraryLock);
    }
    return TRUE;
}

// 0 when the file has been read and is an MP3 or WAV file; otherwise the
// Win32 error (ERROR_BAD_FORMAT for a file of another kind). A failed load
// forgets the previous file.
extern "C" DWORD WINAPI mp3infp_Load(HWND, const char* path)
{
    std::vector<uint8_t> bytes;
    DWORD error = path == NULL || path[0] == '\0' ? ERROR_INVALID_PARAMETER
                                                  : ReadWholeFile(path, &bytes);
    media::MediaTags tags;
    if (error == 0 && !media::ParseMediaTags(bytes.data(), bytes.size(), &tags))
        error = ERROR_BAD_FORMAT;

    LoadedFile loaded;
    if (error == 0) {
        loaded.type = tags.type;
        for (const media::TagValue& value : tags.values)
            loaded.values.emplace_back(value.name, tools::TagTextToAnsi(value));
    }
    EnterCriticalSection(&LibraryLock);
    Current = std::move(loaded);
    LeaveCriticalSection(&LibraryLock);
    return error;
}

// Accepts the options a caller may set; only "wave_CodecFind" ("0" or "1")
// is known, and it changes nothing here (no codec names are looked up).
extern "C" BOOL WINAPI mp3infp_SetConf(const char* name, const char* value)
{
    if (name == NULL || value == NULL)
        return FALSE;
    return lstrcmpA(name, "wave_CodecFind") == 0 &&
           (lstrcmpA(value, "0") == 0 || lstrcmpA(value, "1") == 0);
}

// Type of the file last loaded: 1 MP3, 2 WAV, 0 none.
extern "C" DWORD WINAPI mp3infp_GetType(void)
{
    EnterCriticalSection(&LibraryLock);
    DWORD type = Current.type;
    LeaveCriticalSection(&LibraryLock);
    return type;
}

// Sets *text to the value's NUL-terminated ANSI text (possibly empty) and
// returns TRUE, or sets it to null and returns FALSE when the file last
// loaded has no text under name. The library owns the text.
extern "C" BOOL WINAPI mp3infp_GetValue(const char* name, char** text)
{
    if (text == NULL)
        return FALSE;
    *text = NULL;
    if (name == NULL)
        return FALSE;
    EnterCriticalSection(&LibraryLock);
    for (std::pair<std::string, std::string>& value : Current.values) {
        if (value.first == name) {
            *text = const_cast<char*>(value.second.c_str());
            break;
        }
    }
    LeaveCriticalSection(&LibraryLock);
    return *text != NULL;
}
