// The whole chain in one process: the plug-in as the host loads it, with
// the demo's guest and tag library found by bare name, on the bundled
// samples. What the guest prints is what it saw through the plug-in.
#include <gtest/gtest.h>

#include "support/plugin_host.h"
#include "support/test_support.h"
#include "tools_test_support.h"

using namespace testing_support;
using namespace tools_testing;

TEST(DemoChain, GuestSeesTracksPauseAndStopThroughThePlugin)
{
    // The plug-in loads gen_tebo_for_winamp.dll and mp3infp.dll by bare
    // name: let the search find the demo's.
    ASSERT_TRUE(SetDllDirectoryA(DemoFile("").c_str()));
    StdoutCapture output;
    {
        LoadedPlugin plugin;
        ASSERT_TRUE(plugin.Loaded());
        ASSERT_EQ(0, plugin.Init());
        EXPECT_TRUE(output.WaitFor("[guest] started in player window"));

        std::string mp3 = DemoFile("samples/01-morning-light.mp3");
        ASSERT_EQ(0, plugin.TrackStart(1, mp3.c_str(), 3997));
        EXPECT_TRUE(output.WaitFor(" -> artist \"The Sample Makers\", title "
                                   "\"Morning Light\", album \"Demo Tones\""))
            << output.Text();
        EXPECT_TRUE(output.WaitFor(" - 3997 - Winamp\"")) << output.Text();
        EXPECT_EQ(0, plugin.Progress(1, 1500, 1500));
        EXPECT_EQ(0, plugin.Progress(1, 1500, 1500));   // no movement: paused
        EXPECT_TRUE(output.WaitFor("paused    2 s of 4 s")) << output.Text();
        EXPECT_EQ(0, plugin.Progress(1, 1750, 1750));
        EXPECT_TRUE(output.WaitFor("playing   2 s of 4 s")) << output.Text();

        // A WAV file: the texts come from its INFO list, the title from ISBJ.
        std::string wav = DemoFile("samples/07-subject-only.wav");
        ASSERT_EQ(0, plugin.TrackStart(2, wav.c_str(), 2000));
        EXPECT_TRUE(output.WaitFor(" -> artist \"Subject Artist\", title "
                                   "\"Title From Subject\", album \"\""))
            << output.Text();
        std::string tags = ReadWholeFile(plugin.TagFile());
        EXPECT_NE(std::string::npos, tags.find("TIT2")) << tags;
        EXPECT_NE(std::string::npos, tags.find("Title From Subject"));

        EXPECT_EQ(0, plugin.TrackStop(2));
        EXPECT_TRUE(output.WaitFor("file query: no file")) << output.Text();
        EXPECT_TRUE(output.WaitFor("stopped   0 s of 0 s")) << output.Text();
        EXPECT_EQ(0, plugin.Quit());
        EXPECT_NE(std::string::npos, output.Text().find("[guest] stopped after"));
    }
    SetDllDirectoryA(NULL);
}
