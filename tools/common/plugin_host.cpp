#include "common/plugin_host.h"

#include <string.h>

#include <vector>

#include "common/console_text.h"
#include "media/pe_image.h"

namespace pluginhost {

std::string SystemMessage(DWORD error)
{
    // English where the system has it: the demo runs with a Japanese
    // locale for its code page, but its reader may not read Japanese.
    char buffer[512] = "";
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD n = FormatMessageA(flags, NULL, error,
                             MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                             buffer, sizeof(buffer), NULL);
    if (n == 0)
        n = FormatMessageA(flags, NULL, error, 0, buffer, sizeof(buffer), NULL);
    std::string text(buffer, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' ||
                             text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty())
        text = "system error";
    return tools::Format("%s (error %lu)", text.c_str(), error);
}

namespace {

const char Bits32[] = "32-bit (x86)";
const char Bits64[] = "64-bit (x64)";

// A plug-in must be of the host's own architecture: the player, like the
// 32-bit build of this host, loads 32-bit x86 plug-ins only.
#if defined(_WIN64)
const media::PeKind OwnKind = media::PeKind::Dll64;
const char* const OwnBits = Bits64;
#else
const media::PeKind OwnKind = media::PeKind::Dll32;
const char* const OwnBits = Bits32;
#endif

// The first bytes of a file: enough for its PE headers.
bool ReadHead(const std::string& path, std::vector<uint8_t>* head, DWORD* error)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    head->resize(4096);
    DWORD got = 0;
    BOOL ok = ReadFile(file, head->data(), (DWORD)head->size(), &got, NULL);
    *error = ok ? 0 : GetLastError();
    CloseHandle(file);
    head->resize(got);
    return ok != 0;
}

} // namespace

PluginSession::~PluginSession()
{
    Unload();
}

void PluginSession::Unload()
{
    if (module_ != NULL)
        FreeLibrary(module_);
    module_ = NULL;
}

bool PluginSession::Load(const std::string& path, std::string* error)
{
    std::vector<uint8_t> head;
    DWORD readError = 0;
    if (!ReadHead(path, &head, &readError)) {
        *error = tools::Format("cannot read the plug-in %s: %s", path.c_str(),
                               SystemMessage(readError).c_str());
        return false;
    }
    uint16_t machine = 0;
    const media::PeKind kind =
        media::ClassifyPeImage(head.data(), head.size(), &machine);
    switch (kind) {
    case media::PeKind::NotPe:
        *error = tools::Format("%s is not a Windows DLL at all", path.c_str());
        return false;
    case media::PeKind::Exe:
        *error = tools::Format("%s is a program, not a DLL", path.c_str());
        return false;
    case media::PeKind::Dll32:
    case media::PeKind::Dll64:
        if (kind != OwnKind) {
            *error = tools::Format(
                "%s is a %s DLL (machine 0x%04X); this host is a %s program "
                "and needs a %s plug-in", path.c_str(),
                kind == media::PeKind::Dll32 ? Bits32 : Bits64,
                (unsigned)machine, OwnBits, OwnBits);
            return false;
        }
        break;
    case media::PeKind::OtherMachine:
        *error = tools::Format(
            "%s is a DLL for another processor (machine 0x%04X), not a %s "
            "plug-in", path.c_str(), (unsigned)machine, OwnBits);
        return false;
    }

    HMODULE module = LoadLibraryA(path.c_str());
    if (module == NULL) {
        DWORD e = GetLastError();
        *error = tools::Format("Windows cannot load %s: %s%s", path.c_str(),
                               SystemMessage(e).c_str(),
                               e == ERROR_MOD_NOT_FOUND
                                   ? " (a DLL that it imports is missing)"
                                   : "");
        return false;
    }
    return Adopt(module, path, error);
}

bool PluginSession::Adopt(HMODULE module, const std::string& name,
                          std::string* error)
{
    Unload();
    module_ = module;
    const std::string& path = name;
    const void* entry = (const void*)GetProcAddress(module_, "VISGetPluginInfo");
    if (entry == NULL) {
        bool decorated = GetProcAddress(module_, "_VISGetPluginInfo@4") != NULL;
        *error = tools::Format(
            "%s has no export VISGetPluginInfo: it is not a visualisation "
            "plug-in of this player%s", path.c_str(),
            decorated ? " (it exports the decorated name _VISGetPluginInfo@4: "
                        "its .def file is missing)" : "");
        return false;
    }

    // Sentinel bytes after the record: a plug-in that writes more would
    // corrupt the player's memory.
    unsigned char buffer[sizeof(VisPluginRecord) + 20];
    memset(buffer, 0xCC, sizeof(buffer));
    uintptr_t arg = (uintptr_t)buffer;
    uint32_t result = 0;
    if (!CallStdcall(entry, &arg, 1, &result)) {
        *error = tools::Format("VISGetPluginInfo of %s does not remove its "
                               "argument: it is not a stdcall function",
                               path.c_str());
        return false;
    }
    if (result != 0) {
        *error = tools::Format("VISGetPluginInfo of %s returned %ld instead of 0",
                               path.c_str(), (long)(int32_t)result);
        return false;
    }
    for (size_t i = sizeof(VisPluginRecord); i < sizeof(buffer); ++i) {
        if (buffer[i] != 0xCC) {
            *error = tools::Format("VISGetPluginInfo of %s wrote more than %u "
                                   "bytes", path.c_str(),
                                   (unsigned)sizeof(VisPluginRecord));
            return false;
        }
    }
    memcpy(&record_, buffer, sizeof(record_));
    const void* entries[6] = {record_.init, record_.quit, record_.trackStart,
                              record_.trackStop, record_.progress,
                              record_.configure};
    for (int i = 0; i < 6; ++i) {
        if (entries[i] == NULL) {
            *error = tools::Format("the record of %s has no entry %d",
                                   path.c_str(), i + 1);
            return false;
        }
    }
    return true;
}

int PluginSession::Call(const char* entry, const void* fn,
                        const uintptr_t* args, int count)
{
    uint32_t result = 0;
    if (!CallStdcall(fn, args, count, &result) && entryFault_.empty())
        entryFault_ = tools::Format("entry %s did not remove its %d argument(s): "
                                    "it is not a stdcall function", entry, count);
    return (int)result;
}

int PluginSession::Init()
{
    uintptr_t args[2] = {0x11111111, 0x22222222};
    return Call("init", record_.init, args, 2);
}

int PluginSession::Quit()
{
    return Call("quit", record_.quit, NULL, 0);
}

int PluginSession::TrackStart(DWORD id, const char* path, LONG lengthMs)
{
    uintptr_t args[8] = {id, (uintptr_t)path, 0xA1, 0xA2, 0xA3, 0xA4,
                         (uint32_t)lengthMs, 0xA5};
    return Call("track start", record_.trackStart, args, 8);
}

int PluginSession::TrackStop(DWORD id)
{
    uintptr_t args[1] = {id};
    return Call("track stop", record_.trackStop, args, 1);
}

int PluginSession::Progress(DWORD id, LONG positionMs, LONG progressValue)
{
    uintptr_t args[3] = {id, (uint32_t)positionMs, (uint32_t)progressValue};
    return Call("progress", record_.progress, args, 3);
}

int PluginSession::Configure(HWND owner)
{
    uintptr_t args[1] = {(uintptr_t)owner};
    return Call("configure", record_.configure, args, 1);
}

} // namespace pluginhost
