// The host program, run as the user runs it: on the samples, and with
// every kind of wrong plug-in, wrong file and wrong option it must explain.
#include <gtest/gtest.h>

#include "media_images.h"
#include "support/test_support.h"
#include "tools_test_support.h"

using namespace testing_support;
using namespace tools_testing;

namespace {

HostRun Host(const std::string& arguments, const std::string& folder = "")
{
    return RunProgram(DemoFile("plughost.exe"), arguments,
                      folder.empty() ? DemoFile("") : folder);
}

bool Has(const HostRun& run, const std::string& text)
{
    return run.output.find(text) != std::string::npos;
}

} // namespace

TEST(HostProgram, PlaysFilesThroughThePluginFromStartToStop)
{
    HostRun run = Host("--speed 200 --tick 100 --pause 1:0.5:0.5 --configure "
                       "samples/01-morning-light.mp3 samples/06-riff-info.wav");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    // The record, its Shift-JIS name shown as such (UTF-8 in a file).
    EXPECT_TRUE(Has(run, "  header  0x1000\n")) << run.output;
    EXPECT_TRUE(Has(run, "tebo\xE3\x83\x9F\xE3\x83\xA5\xE3\x83\xBC\xE3\x82\xB8"
                         "\xE3\x83\x83\xE3\x82\xAFWrapper for sorvek"))
        << run.output;
    // Start, the guest up in its window, configure, both tracks with the
    // lengths from the files, a pause, the stop with the guest's quit.
    const char* const inOrder[] = {
        "starting the plug-in", "[guest] started in player window",
        "the plug-in's window answers", "[guest] configure requested",
        "[1/2] ", "01-morning-light.mp3\n", "MPEG-1 Layer III, 44100 Hz, 32 kbit/s, 153 frames, 4.00 s",
        "  0.50 / 4.00 s  paused", "  4.00 / 4.00 s",
        "[2/2] ", "WAVE format 1, 8000 Hz, 8 bit, 1 ch, 3.00 s", "  3.00 / 3.00 s",
        "stopping the plug-in", "[guest] stopped after", "stopped (0); played 2 of 2 file(s)"};
    size_t at = 0;
    for (const char* text : inOrder) {
        size_t found = run.output.find(text, at);
        EXPECT_NE(std::string::npos, found) << "missing in order: " << text
                                            << "\n" << run.output;
        if (found != std::string::npos)
            at = found;
    }
    EXPECT_FALSE(Has(run, "refused")) << run.output;
}

TEST(HostProgram, ExplainsAPluginItCannotUse)
{
    TempDir dir;
    // A DLL of the other architecture than the host's: headers are enough,
    // the host stops before loading it.
#if defined(_WIN64)
    const char otherMachine[] = "\x4C\x01";
    const char otherMessage[] = "is a 32-bit (x86) DLL (machine 0x014C); "
                                "this host is a 64-bit (x64) program";
#else
    const char otherMachine[] = "\x64\x86";
    const char otherMessage[] = "is a 64-bit (x64) DLL (machine 0x8664); "
                                "this host is a 32-bit (x86) program";
#endif
    media_images::Bytes pe(512, '\0');
    pe.replace(0, 2, "MZ");
    pe[60] = (char)0x80;
    pe.replace(0x80, 6, "PE" + media_images::Bytes(2, '\0') + otherMachine);
    pe[0x84 + 19] = 0x20;   // IMAGE_FILE_DLL
    ASSERT_TRUE(WriteWholeFile(dir.File("other.dll"), pe));
    ASSERT_TRUE(WriteWholeFile(dir.File("text.dll"), "not a module"));

    struct Case {
        std::string plugin;
        const char* message;
    };
    const Case cases[] = {
        {dir.File("missing.dll"), "cannot read the plug-in"},
        {dir.File("text.dll"), "is not a Windows DLL at all"},
        {dir.File("other.dll"), otherMessage},
        {DemoFile("plughost.exe"), "is a program, not a DLL"},
        {DemoFile("mp3infp.dll"), "has no export VISGetPluginInfo"},
    };
    for (const Case& c : cases) {
        HostRun run = Host("--plugin \"" + c.plugin + "\" samples/05-no-tags.mp3");
        EXPECT_EQ(3u, run.exitCode) << c.plugin << "\n" << run.output;
        EXPECT_TRUE(Has(run, "plughost: error: ")) << run.output;
        EXPECT_TRUE(Has(run, c.message)) << c.plugin << "\n" << run.output;
        EXPECT_FALSE(Has(run, "starting the plug-in")) << run.output;
    }
}

TEST(HostProgram, ReportsAStartThePluginRefuses)
{
    // The host and the plug-in alone, without mp3infp.dll anywhere the DLL
    // search looks: the plug-in refuses to start.
    TempDir dir;
    ASSERT_TRUE(CopyFileA(DemoFile("plughost.exe").c_str(),
                          dir.File("plughost.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(DemoFile("tebo_wrapper.dll").c_str(),
                          dir.File("tebo_wrapper.dll").c_str(), FALSE));
    HostRun run = RunProgram(dir.File("plughost.exe"),
                             "\"" + DemoFile("samples/05-no-tags.mp3") + "\"",
                             dir.Path());
    EXPECT_EQ(4u, run.exitCode) << run.output;
    EXPECT_TRUE(Has(run, "the plug-in refused to start (its init returned 1)"))
        << run.output;
    EXPECT_FALSE(Has(run, "[1/1]")) << run.output;
}

TEST(HostProgram, ReportsFilesItCannotPlayAndPlaysTheRest)
{
    TempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir.File("notes.mp3"), "no sound in here"));
    HostRun run = Host("--speed 500 samples/missing.mp3 \"" +
                       dir.File("notes.mp3") + "\" samples/05-no-tags.mp3");
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_TRUE(Has(run, "plughost: error: cannot read samples/missing.mp3: "))
        << run.output;
    EXPECT_TRUE(Has(run, "notes.mp3 is neither an MP3 (MPEG audio) nor a WAV file"))
        << run.output;
    EXPECT_TRUE(Has(run, "[1/1] ")) << run.output;
    EXPECT_TRUE(Has(run, "played 1 of 3 file(s)")) << run.output;

    run = Host("samples/missing.mp3");
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_TRUE(Has(run, "none of the files can be played")) << run.output;
    EXPECT_FALSE(Has(run, "starting the plug-in")) << run.output;
}

TEST(HostProgram, OptionsAndUsage)
{
    struct Case {
        const char* arguments;
        DWORD exitCode;
        const char* message;
    };
    const Case cases[] = {
        {"", 2, "no media files given"},
        {"--speed 0 samples/05-no-tags.mp3", 2, "--speed wants a number"},
        {"--speed fast samples/05-no-tags.mp3", 2, "--speed wants a number"},
        {"--tick 5 samples/05-no-tags.mp3", 2, "--tick wants milliseconds"},
        {"--pause 1:2 samples/05-no-tags.mp3", 2, "--pause wants TRACK:AT:FOR"},
        {"--pause 0:1:1 samples/05-no-tags.mp3", 2, "--pause wants TRACK:AT:FOR"},
        {"--bogus samples/05-no-tags.mp3", 2, "unknown option or missing value: --bogus"},
        {"--speed", 2, "unknown option or missing value: --speed"},
        {"--help", 0, "usage: plughost [options] FILE..."},
        {"--info", 0, "  header  0x1000"},
    };
    for (const Case& c : cases) {
        HostRun run = Host(c.arguments);
        EXPECT_EQ(c.exitCode, run.exitCode) << c.arguments << "\n" << run.output;
        EXPECT_TRUE(Has(run, c.message)) << c.arguments << "\n" << run.output;
        EXPECT_FALSE(Has(run, "starting the plug-in")) << run.output;
    }
}
