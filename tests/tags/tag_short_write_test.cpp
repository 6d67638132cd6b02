// A write that falls short must not be named as the tag file. The program runs
// with a file-size limit (limit_file_size.py: RLIMIT_FSIZE, SIGXFSZ ignored),
// so the system writes a tag file only up to that many bytes: a short image
// is written whole, a longer one is cut by the operating system.
//
// Nothing else may write a file larger than the limit in this process, so the
// plug-in is loaded from a copy that the build made beforehand, where it is.
#include <gtest/gtest.h>

#include <string>

#include "emulation/player_window.h"
#include "support/plugin_host.h"
#include "support/tag_file_reader.h"
#include "support/tag_library.h"

using namespace testing_support;

namespace {

std::string Backslashes(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

class ShortWriteTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tags_.Loaded());
        DeleteFileA(tagFile_.c_str());
        ASSERT_TRUE(SetDllDirectoryA(noGuest_.Path().c_str()));
        ASSERT_TRUE(plugin_.Loaded());
        ASSERT_EQ(0, plugin_.Init());
        started_ = true;
        ASSERT_TRUE(WaitUntil([this] { return (window_ = FindPlayerWindow()) != NULL; }));
    }
    void TearDown() override
    {
        if (started_) {
            EXPECT_EQ(0, plugin_.Quit());
        }
        plugin_.Unload();
        SetDllDirectoryA(NULL);
        DeleteFileA(tagFile_.c_str());
    }
    void StartTrack(const char* path)
    {
        ASSERT_EQ(0, plugin_.TrackStart(1, path, 1000));
    }
    const char* AskFile() { return (const char*)Query(window_, 0, QueryPlaylistFile); }

    FakeTagsLibrary& tags_ = Tags();
    TempDir noGuest_;
    LoadedPlugin plugin_{TEBO_SHORT_WRITE_DIR "\\tebo_wrapper.dll"};
    bool started_ = false;
    HWND window_ = NULL;
    std::string tagFile_ = Backslashes(TEBO_SHORT_WRITE_DIR "\\tebo_wrapper.mp3");
};


TEST_F(ShortWriteTest, ImageWithinTheLimitIsWrittenAndNamed)
{
    tags_.SetPlainFile("Z:\\s.mp3", 5, "A", "B", "T");
    StartTrack("Z:\\s.mp3");
    const char* answer = AskFile();
    ASSERT_NE(nullptr, answer);
    EXPECT_STRCASEEQ(tagFile_.c_str(), answer);
    EXPECT_EQ(Texts("A", "T", "B"), ReadTagFile(ReadWholeFile(tagFile_)));
}

TEST_F(ShortWriteTest, ImageCutByTheLimitAnswersNull)
{
    std::string full(255, 'x');
    tags_.SetPlainFile("Z:\\s.mp3", 5, full.c_str(), full.c_str(), full.c_str());
    StartTrack("Z:\\s.mp3");
    EXPECT_EQ(nullptr, AskFile());
    // The file really was cut: this is the case under test, not a failed
    // creation.
    std::string bytes = ReadWholeFile(tagFile_);
    EXPECT_LT(bytes.size(), 823u);
    printf("tag file after the cut write: %u bytes\n", (unsigned)bytes.size());
}

} // namespace
