// The export and the descriptor record, as the host sees them.
#include <gtest/gtest.h>

#include <string.h>

#include "support/plugin_host.h"

using namespace testing_support;

TEST(Descriptor, TwoCallsGiveIdenticalRecordsWithTheFixedTexts)
{
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded());
    const void* entry =
        (const void*)GetProcAddress(plugin.Module(), "VISGetPluginInfo");

    // The record (44 bytes on 32-bit Windows, 88 on 64-bit) and sentinels.
    const size_t size = sizeof(pluginhost::VisPluginRecord);
    unsigned char first[size + 4], second[size + 4];
    memset(first, 0xCC, sizeof(first));
    memset(second, 0x5A, sizeof(second));
    uint32_t result = 1;
    uintptr_t arg = (uintptr_t)first;
    ASSERT_TRUE(CallStdcall(entry, &arg, 1, &result));
    EXPECT_EQ(0u, result);
    arg = (uintptr_t)second;
    result = 1;
    ASSERT_TRUE(CallStdcall(entry, &arg, 1, &result));
    EXPECT_EQ(0u, result);
    EXPECT_EQ(0, memcmp(first, second, size));
    // Exactly the record's bytes are written.
    EXPECT_EQ(0xCC, first[size]);
    EXPECT_EQ(0x5A, second[size]);

    const pluginhost::VisPluginRecord* d =
        (const pluginhost::VisPluginRecord*)first;
    EXPECT_EQ(0x1000u, d->headerWord);
    EXPECT_STREQ("tebo\x83\x7E\x83\x85\x81\x5B\x83\x57\x83\x62\x83\x4E"
                 "Wrapper for sorvek", d->name);
    EXPECT_STREQ("Only Wrapping gen_tebo_for_winamp.dll", d->description);
    ASSERT_NE(nullptr, d->author);
    ASSERT_NE(nullptr, d->webPage);
    EXPECT_GT(strlen(d->author), 0u);
    EXPECT_GT(strlen(d->webPage), 0u);

    // All six entries lie inside the plug-in's own image.
    MEMORY_BASIC_INFORMATION info;
    const void* entries[6] = {d->init, d->quit, d->trackStart,
                              d->trackStop, d->progress, d->configure};
    for (const void* e : entries) {
        ASSERT_NE(nullptr, e);
        ASSERT_NE(0u, VirtualQuery(e, &info, sizeof(info)));
        EXPECT_EQ((void*)plugin.Module(), info.AllocationBase);
    }
}

TEST(Descriptor, NullBufferDoesNotFault)
{
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded());
    const void* entry =
        (const void*)GetProcAddress(plugin.Module(), "VISGetPluginInfo");
    uintptr_t arg = 0;
    uint32_t result = 0;
    EXPECT_TRUE(CallStdcall(entry, &arg, 1, &result));
    EXPECT_EQ((uint32_t)-1, result);
}

TEST(Descriptor, EveryEntryRemovesItsOwnArguments)
{
    // LoadedPlugin checks the stack pointer around every call; a cdecl
    // entry fails here whatever it returns.
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded());
    EXPECT_EQ(-1, plugin.TrackStart(1, "C:\\a.mp3", 1000));
    EXPECT_EQ(-1, plugin.Progress(1, 10, 10));
    EXPECT_EQ(0, plugin.TrackStop(1));
    EXPECT_EQ(0, plugin.Quit());
}

TEST(ModuleLifetime, ReloadStartsFromFreshStateEachTime)
{
    // Attach then detach deletes the lock and clears the module's state; a
    // second load attaches anew and works as the first did.
    for (int round = 0; round < 3; ++round) {
        LoadedPlugin plugin;
        ASSERT_TRUE(plugin.Loaded());
        EXPECT_EQ(-1, plugin.TrackStart(7, "C:\\x.mp3", 5)) << "round " << round;
        EXPECT_EQ(0, plugin.TrackStop(7));
        plugin.Unload();
        // The module is really gone: nothing of it stays mapped.
        EXPECT_EQ(nullptr, GetModuleHandleA(plugin.DllPath().c_str()));
    }
}

TEST(VersionResource, CarriesVersion0930AndADescription)
{
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded());
    std::string path = plugin.DllPath();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string data(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, &data[0]));

    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", (void**)&fixed, &length));
    EXPECT_EQ(MAKELONG(930, 0), (LONG)fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(930, 0), (LONG)fixed->dwProductVersionMS);

    const char* text = NULL;
    ASSERT_TRUE(VerQueryValueA(data.data(),
                               "\\StringFileInfo\\041103A4\\FileVersion",
                               (void**)&text, &length));
    EXPECT_STREQ("0.930", text);
    ASSERT_TRUE(VerQueryValueA(data.data(),
                               "\\StringFileInfo\\041103A4\\FileDescription",
                               (void**)&text, &length));
    EXPECT_NE(nullptr, strstr(text, "gen_tebo_for_winamp.dll"));
    // The descriptor's name, read as the UTF-16 that Explorer shows.
    const wchar_t* product = NULL;
    ASSERT_TRUE(VerQueryValueW(data.data(),
                               L"\\StringFileInfo\\041103A4\\ProductName",
                               (void**)&product, &length));
    char name[64] = "";
    WideCharToMultiByte(932, 0, product, -1, name, sizeof(name), NULL, NULL);
    EXPECT_STREQ("tebo\x83\x7E\x83\x85\x81\x5B\x83\x57\x83\x62\x83\x4E"
                 "Wrapper for sorvek", name);
}
