// Writes tag files through the plug-in for the independent reader
// (check_tag_files.py, run with python3-mutagen by the next CTest test) into
// TEBO_TAG_OUTPUT_DIR: each file's texts are listed in that script too.
#include <gtest/gtest.h>

#include <string>

#include "emulation/player_window.h"
#include "support/plugin_host.h"
#include "support/tag_library.h"

using namespace testing_support;

namespace {

struct Sample {
    const char* name;
    const char* artist;
    const char* album;
    const char* title;
};

// Keep in step with check_tag_files.py.
const Sample Samples[] = {
    {"ascii.mp3", "The Artist", "The Album", "The Title"},
    // Shift-JIS: "テルミン", "アルバム", "曲名" and a half-width katakana.
    {"shift_jis.mp3", "\x83\x65\x83\x8B\x83\x7E\x83\x93",
     "\x83\x41\x83\x8B\x83\x6F\x83\x80", "\x8B\xC8\x96\xBC \xB1"},
    {"empty.mp3", "", "", ""},
};

TEST(TagFileForMutagen, WriteSamples)
{
    FakeTagsLibrary& tags = Tags();
    ASSERT_TRUE(tags.Loaded());
    TempDir noGuest;
    ASSERT_TRUE(SetDllDirectoryA(noGuest.Path().c_str()));
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded());
    ASSERT_EQ(0, plugin.Init());
    HWND window = NULL;
    ASSERT_TRUE(WaitUntil([&] { return (window = FindPlayerWindow()) != NULL; }));
    // Files of an earlier run must not stand in for ones not written now.
    CreateDirectoryA(TEBO_TAG_OUTPUT_DIR, NULL);
    for (const char* name : {"ascii.mp3", "shift_jis.mp3", "empty.mp3", "long.mp3"})
        DeleteFileA((std::string(TEBO_TAG_OUTPUT_DIR) + "\\" + name).c_str());
    DWORD track = 0;
    for (const Sample& s : Samples) {
        std::string song = std::string("Z:\\music\\") + s.name;
        tags.SetPlainFile(song, 5, s.artist, s.album, s.title);
        ASSERT_EQ(0, plugin.TrackStart(++track, song.c_str(), 1000));
        const char* answer = (const char*)Query(window, 0, QueryPlaylistFile);
        ASSERT_NE(nullptr, answer) << s.name;
        std::string out = std::string(TEBO_TAG_OUTPUT_DIR) + "\\" + s.name;
        EXPECT_TRUE(CopyFileA(answer, out.c_str(), FALSE)) << out;
    }
    // The longest file: three full texts.
    std::string full(255, 'L');
    tags.SetPlainFile("Z:\\music\\long.mp3", 5, full.c_str(), full.c_str(),
                      full.c_str());
    ASSERT_EQ(0, plugin.TrackStart(++track, "Z:\\music\\long.mp3", 1000));
    const char* answer = (const char*)Query(window, 0, QueryPlaylistFile);
    ASSERT_NE(nullptr, answer);
    EXPECT_TRUE(CopyFileA(answer, TEBO_TAG_OUTPUT_DIR "\\long.mp3", FALSE));
    EXPECT_EQ(0, plugin.Quit());
    SetDllDirectoryA(NULL);
}

} // namespace
