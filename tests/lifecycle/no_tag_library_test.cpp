// Start and stop without the tag library anywhere on the search path. Runs in
// a process of its own: once the plug-in has bound the library it stays.
#include <gtest/gtest.h>

#include "support/guest_setup.h"
#include "support/plugin_host.h"
#include "support/tag_file_reader.h"
#include "support/tag_library.h"

using namespace testing_support;

TEST(StartWithoutTagLibrary, FailsWithoutWindowOrGuestAndStillAcceptsTracks)
{
    ASSERT_EQ(nullptr, GetModuleHandleA("mp3infp.dll"));
    GuestDoubleControl control = {};
    GuestSetup guest("guest_v10", &control);   // holds no mp3infp.dll
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded());

    DebugCapture capture;
    EXPECT_EQ(1, plugin.Init());
    EXPECT_EQ(std::vector<std::string>{"tebo_wrapper: mp3infp.dll not loaded "
                                       "(error 126)\n"}, capture.Lines());
    EXPECT_EQ(nullptr, FindPlayerWindow());
    EXPECT_EQ(0, control.loads);
    EXPECT_EQ(0, control.initCalls);
    EXPECT_EQ(1, plugin.Init());   // every start tries again, and fails again
    EXPECT_EQ(nullptr, FindPlayerWindow());
    EXPECT_EQ(nullptr, GetModuleHandleA("mp3infp.dll"));

    // The failed start keeps the active mark: the host may rely on it.
    EXPECT_EQ(0, plugin.TrackStart(1, "C:\\a.mp3", 1000));
    EXPECT_EQ(0, plugin.Progress(1, 5, 5));

    // Stops after the failed start, twice: nothing to wait on or close.
    EXPECT_EQ(0, plugin.Quit());
    EXPECT_EQ(0, plugin.Quit());
    EXPECT_EQ(-1, plugin.TrackStart(2, "C:\\b.mp3", 1000));

    // A library that appears later is bound by the next start, and both
    // DLLs are found beside the plug-in alone: not on the search path, not
    // in the program's folder.
    std::string dir = plugin.DllPath().substr(0, plugin.DllPath().rfind('\\'));
    const char* const copies[][2] = {{"tags", "mp3infp.dll"},
                                     {"guest_v10", "gen_tebo_for_winamp.dll"}};
    for (const auto& copy : copies)
        ASSERT_TRUE(CopyFileA((DoubleDir(copy[0]) + "/" + copy[1]).c_str(),
                              (dir + "\\" + copy[1]).c_str(), TRUE)) << copy[1];
    guest.Use("");
    EXPECT_EQ(0, plugin.Init());
    EXPECT_TRUE(WaitUntil([&] { return control.initCalls == 1; }));
    HWND window = FindPlayerWindow();
    char loaded[MAX_PATH] = "";
    GetModuleFileNameA(GetModuleHandleA("mp3infp.dll"), loaded, MAX_PATH);
    EXPECT_EQ(0, lstrcmpiA((dir + "\\mp3infp.dll").c_str(), loaded)) << loaded;
    {
        FakeTagsLibrary beside(dir + "\\mp3infp.dll");
        beside.SetMp3File("C:\\a.mp3", "artist-b", "album-b", "title-b");
    }
    EXPECT_EQ(0, plugin.TrackStart(3, "C:\\a.mp3", 1000));
    EXPECT_EQ(plugin.TagFile(), (const char*)Query(window, 0, 211));
    EXPECT_EQ("artist-b", ReadTagFile(ReadWholeFile(plugin.TagFile())).artist);
    EXPECT_EQ(0, plugin.Quit());
    EXPECT_EQ(1, control.quitCalls);
    EXPECT_EQ(nullptr, FindPlayerWindow());
    plugin.Unload();   // then its tag library's copy, which it kept, may go
    FreeLibrary(GetModuleHandleA("mp3infp.dll"));
}

TEST(StartWithIncompleteTagLibrary, IsRefusedLikeAMissingOne)
{
    // A library lacking one of its four entry points is not bound.
    // No entry point of it is ever called, and no tag file is written.
    std::string path = DoubleDir("tags_incomplete") + "/mp3infp.dll";
    HMODULE incomplete = LoadLibraryA(path.c_str());
    ASSERT_NE(nullptr, incomplete);
    ASSERT_EQ(nullptr, GetProcAddress(incomplete, "mp3infp_GetType"));
    FakeTagsCallCountFunction callCount = (FakeTagsCallCountFunction)(void*)
        GetProcAddress(incomplete, FAKE_TAGS_CALL_COUNT);
    ASSERT_NE(nullptr, callCount);
    GuestDoubleControl control = {};
    GuestSetup guest("guest_v10", &control);
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded());
    DebugCapture capture;
    EXPECT_EQ(1, plugin.Init());
    EXPECT_EQ(std::vector<std::string>{"tebo_wrapper: mp3infp.dll not used (an "
              "entry point is missing, error 127)\n"}, capture.Lines());
    EXPECT_EQ(nullptr, FindPlayerWindow());
    EXPECT_EQ(0, control.initCalls);
    EXPECT_EQ(0, plugin.TrackStart(1, "C:\\a.mp3", 1000));
    EXPECT_EQ(0, plugin.Quit());
    EXPECT_EQ(0, callCount());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
              GetFileAttributesA(plugin.TagFile().c_str()));
    FreeLibrary(incomplete);
}
