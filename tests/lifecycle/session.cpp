#include "lifecycle/session.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <stdio.h>

namespace lifecycle {

bool FakeTags::Load()
{
    std::string path = testing_support::DoubleDir("tags") + "/mp3infp.dll";
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == NULL)
        return false;
    reset = (FakeTagsResetFunction)(void*)GetProcAddress(module, FAKE_TAGS_RESET);
    setFile = (FakeTagsSetFileFunction)(void*)GetProcAddress(module, FAKE_TAGS_SET_FILE);
    setValue = (FakeTagsSetValueFunction)(void*)GetProcAddress(module, FAKE_TAGS_SET_VALUE);
    if (reset == NULL || setFile == NULL || setValue == NULL)
        return false;
    reset();
    return true;
}

void FakeTags::ScriptMp3(const std::string& path, const std::string& artist,
                         const std::string& album, const std::string& title)
{
    setFile(path.c_str(), 0, 1);
    setValue(path.c_str(), "IART_v2", artist.c_str());
    setValue(path.c_str(), "IPRD_v2", album.c_str());
    setValue(path.c_str(), "INAM_v2", title.c_str());
}

GuestSetup::GuestSetup(const std::string& variant, GuestDoubleControl* control)
{
    std::string dir = testing_support::DoubleDir(variant);
    EXPECT_TRUE(SetDllDirectoryA(dir.c_str()));
    char address[32];
    sprintf(address, "%p", (void*)control);
    SetEnvironmentVariableA(GUEST_DOUBLE_CONTROL_ENV, address);
}

GuestSetup::~GuestSetup()
{
    SetDllDirectoryA(NULL);
    SetEnvironmentVariableA(GUEST_DOUBLE_CONTROL_ENV, NULL);
}

TagTexts ParseTagFile(const std::string& bytes)
{
    TagTexts texts;
    if (bytes.size() < 10 || bytes.compare(0, 3, "ID3") != 0)
        return texts;
    size_t at = 10;
    int found = 0;
    while (at + 10 <= bytes.size()) {
        std::string id = bytes.substr(at, 4);
        size_t size = ((unsigned char)bytes[at + 4] << 24) |
                      ((unsigned char)bytes[at + 5] << 16) |
                      ((unsigned char)bytes[at + 6] << 8) |
                      (unsigned char)bytes[at + 7];
        if (size < 2 || at + 10 + size > bytes.size())
            return texts;
        // Encoding byte, text, NUL.
        std::string text = bytes.substr(at + 11, size - 2);
        if (id == "TPE1") { texts.artist = text; ++found; }
        if (id == "TIT2") { texts.title = text; ++found; }
        if (id == "TALB") { texts.album = text; ++found; }
        at += 10 + size;
    }
    texts.valid = found == 3 && at == bytes.size();
    return texts;
}

int CountOpenHandles()
{
    // GetProcessHandleCount answers 0 under Wine: probe every handle value
    // instead. Handle tables hand out the lowest free values, so a leak shows
    // as one more valid value in this range.
    int count = 0;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        DWORD flags;
        if (GetHandleInformation((HANDLE)value, &flags))
            ++count;
    }
    return count;
}

int CountThreads()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Thread32First(snapshot, &entry); ok;
         ok = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

SIZE_T CommittedPrivateBytes()
{
    // The counters of GetProcessMemoryInfo may be 0 under Wine: walk the
    // address space and add up committed private regions.
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    const char* at = NULL;
    while (VirtualQuery(at, &info, sizeof(info)) == sizeof(info)) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += info.RegionSize;
        const char* next = (const char*)info.BaseAddress + info.RegionSize;
        if (next <= at)
            break;
        at = next;
    }
    return total;
}

} // namespace lifecycle
