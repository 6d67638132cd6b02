// Soak: minutes of simulated playback at many times real speed, the host
// starting, pausing, stopping and skipping tracks while the guest stand-in
// polls the window without pause from its own thread. The process's open
// handles, threads and committed private memory must stay flat once the run
// has warmed up, every answer must be one the window can give, and every tag
// file the guest reads must be whole: a valid ID3v2.3 image whose three texts
// all belong to one track.
//
// TEBO_SOAK_SECONDS sets the wall time (default 20); a longer run by hand:
//   export WINEPREFIX=$PWD/build/x86/wineprefix TEBO_SOAK_SECONDS=600
//   bash tools/wine-run.sh x86 build/x86/tests/bin/soak_test.exe
// (build/x64 and x64 for the 64-bit build).
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "emulation/player_window.h"
#include "support/guest_setup.h"
#include "support/plugin_host.h"
#include "support/tag_file_reader.h"
#include "support/tag_library.h"

using namespace testing_support;

namespace {

// Simulated time runs this many times faster than the wall clock.
const int SpeedUp = 32;
// The host reports progress every 250 ms of playback.
const LONG ProgressStepMs = 250;
// The guest's rounds between two resets of the tag stand-in's call log (it
// records every call and would otherwise grow for the whole run).
const LONG RoundsPerLogReset = 200;
const int TrackCount = 5;

struct Track {
    std::string path;
    std::string artist, album, title;
    LONG lengthMs;
};

// Texts of different lengths per track, so that a file put together from
// two tracks' writes cannot parse as one track.
std::vector<Track> MakeTracks()
{
    std::vector<Track> tracks;
    for (int k = 0; k < TrackCount; ++k) {
        Track t;
        char number[16];
        sprintf(number, "%d", k);
        t.path = std::string("C:\\Soak\\Album\\track") + number + ".mp3";
        std::string pad(17 + 53 * k, (char)('a' + k));
        t.artist = std::string("artist-") + number + "-" + pad;
        t.album = std::string("album-") + number + "-" + pad.substr(0, 40 * k);
        t.title = std::string("title-") + number + "-" + pad.substr(0, 11 * k);
        // 20 to 60 seconds: many track changes in a short run.
        t.lengthMs = 20000 + 10000 * k;
        tracks.push_back(t);
    }
    return tracks;
}

// What the guest's poller saw; written on the poller thread only, read by
// the test after the guest has stopped (or as interlocked counters).
struct PollCheck {
    const std::vector<Track>* tracks;
    FakeTagsLibrary* tags;
    std::string tagFile;
    volatile LONG rounds = 0;
    volatile LONG files = 0;
    volatile LONG noFile = 0;
    volatile LONG brokenFiles = 0;     // not a whole, valid image
    volatile LONG mixedFiles = 0;      // texts not all of one track
    volatile LONG wrongPath = 0;
    volatile LONG badPlayState = 0;
    volatile LONG badLength = 0;
    volatile LONG badPosition = 0;
    std::string firstProblem;          // poller thread only

    void Problem(const std::string& what)
    {
        if (firstProblem.empty())
            firstProblem = what;
    }

    void Script()
    {
        tags->Reset();
        for (const Track& t : *tracks)
            tags->SetMp3File(t.path, t.artist, t.album, t.title);
    }

    static void OnPoll(void* context, LRESULT playState, LRESULT positionMs,
                       LRESULT lengthSeconds, const char* tagFilePath)
    {
        PollCheck* self = static_cast<PollCheck*>(context);
        self->Check(playState, positionMs, lengthSeconds, tagFilePath);
    }

    void Check(LRESULT playState, LRESULT positionMs, LRESULT lengthSeconds,
               const char* tagFilePath)
    {
        LONG round = InterlockedIncrement(&rounds);
        if (playState != 0 && playState != 1 && playState != 3) {
            InterlockedIncrement(&badPlayState);
            Problem("play state " + std::to_string(playState));
        }
        bool lengthKnown = lengthSeconds == 0;
        for (const Track& t : *tracks)
            lengthKnown = lengthKnown || lengthSeconds == t.lengthMs / 1000;
        if (!lengthKnown) {
            InterlockedIncrement(&badLength);
            Problem("length " + std::to_string(lengthSeconds));
        }
        if (positionMs < 0) {
            InterlockedIncrement(&badPosition);
            Problem("position " + std::to_string(positionMs));
        }
        if (tagFilePath == NULL) {
            InterlockedIncrement(&noFile);
        } else {
            InterlockedIncrement(&files);
            if (_stricmp(tagFilePath, tagFile.c_str()) != 0) {
                InterlockedIncrement(&wrongPath);
                Problem(std::string("answered path ") + tagFilePath);
            }
            // Only this thread asks for the file, so it stays as the query
            // wrote it until the next round.
            std::string bytes = ReadWholeFile(tagFilePath);
            TagFileTexts texts = ReadTagFile(bytes);
            if (!texts.valid) {
                InterlockedIncrement(&brokenFiles);
                Problem("broken tag file of " + std::to_string(bytes.size()) +
                        " bytes");
            } else {
                bool oneTrack = false;
                for (const Track& t : *tracks)
                    oneTrack = oneTrack || (texts.artist == t.artist &&
                                            texts.album == t.album &&
                                            texts.title == t.title);
                if (!oneTrack) {
                    InterlockedIncrement(&mixedFiles);
                    Problem("texts of no single track: " + texts.artist +
                            " / " + texts.album + " / " + texts.title);
                }
            }
        }
        // Between two rounds no query is under way (the poller is the only
        // one that asks for files), so the stand-in can be reset here
        // without racing a read.
        if (round % RoundsPerLogReset == 0)
            Script();
    }
};

struct Resources {
    int handles;
    int threads;
    SIZE_T privateBytes;
};

Resources Measure()
{
    return Resources{CountOpenHandles(), CountThreads(), CommittedPrivateBytes()};
}

DWORD SoakSeconds()
{
    const char* text = getenv("TEBO_SOAK_SECONDS");
    int seconds = text != NULL ? atoi(text) : 0;
    return seconds > 0 ? (DWORD)seconds : 20;
}

// The simulated host: plays tracks one after another against a clock that
// runs SpeedUp times faster than the wall clock. Each wait for the next
// progress step is a bounded wait on an event that nobody sets; it paces the
// host and does not stand in for a condition.
class SimulatedHost {
public:
    SimulatedHost(LoadedPlugin* plugin, const std::vector<Track>* tracks)
        : plugin_(plugin), tracks_(tracks)
    {
        pace_ = CreateEventA(NULL, TRUE, FALSE, NULL);
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    ~SimulatedHost() { CloseHandle(pace_); }

    // Simulated milliseconds since the start.
    LONGLONG SimulatedNow() const
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return (now.QuadPart - start_.QuadPart) * 1000 * SpeedUp /
               frequency_.QuadPart;
    }

    // Waits until the simulated clock has reached at (bounded by the step).
    void WaitUntilSimulated(LONGLONG at)
    {
        LONGLONG ahead = at - SimulatedNow();
        if (ahead > 0)
            WaitForSingleObject(pace_, (DWORD)(ahead / SpeedUp));
    }

    // Plays track number n: start, progress to the end with one pause of two
    // seconds in the middle; every fourth track is skipped to the next before
    // its end (no stop), the others are stopped.
    void PlayTrack(int n)
    {
        const Track& t = (*tracks_)[n % tracks_->size()];
        DWORD id = (DWORD)(1000 + n);
        ASSERT_EQ(0, plugin_->TrackStart(id, t.path.c_str(), t.lengthMs));
        ++tracksStarted;
        LONG end = n % 4 == 3 ? t.lengthMs / 3 : t.lengthMs;
        LONG pauseAt = end / 2;
        LONGLONG clock = SimulatedNow();
        for (LONG position = 0; position <= end; position += ProgressStepMs) {
            clock += ProgressStepMs;
            WaitUntilSimulated(clock);
            ASSERT_EQ(0, plugin_->Progress(id, position, position));
            if (position == pauseAt - pauseAt % ProgressStepMs) {
                // Paused: the host repeats its last report.
                for (int i = 0; i < 8; ++i) {
                    clock += ProgressStepMs;
                    WaitUntilSimulated(clock);
                    ASSERT_EQ(0, plugin_->Progress(id, position, position));
                }
                ++pauses;
            }
            simulatedMs += ProgressStepMs;
        }
        if (n % 4 != 3) {
            ASSERT_EQ(0, plugin_->TrackStop(id));
        }
    }

    int tracksStarted = 0;
    int pauses = 0;
    LONGLONG simulatedMs = 0;

private:
    LoadedPlugin* plugin_;
    const std::vector<Track>* tracks_;
    HANDLE pace_;
    LARGE_INTEGER frequency_;
    LARGE_INTEGER start_;
};

std::string Describe(const char* when, const Resources& r)
{
    char text[160];
    sprintf(text, "%s: %d handles, %d threads, %lu KiB private", when,
            r.handles, r.threads, (unsigned long)(r.privateBytes / 1024));
    return text;
}

TEST(Soak, MinutesOfPlaybackWithAPollingGuestStayFlatAndWhole)
{
    FakeTagsLibrary& tags = Tags();
    ASSERT_TRUE(tags.Loaded());
    tags.Reset();
    std::vector<Track> tracks = MakeTracks();

    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded());
    PollCheck check;
    check.tracks = &tracks;
    check.tags = &tags;
    check.tagFile = plugin.TagFile();
    check.Script();

    GuestDoubleControl control = {};
    control.pollerEnabled = 1;
    control.pollIntervalMs = 0;
    control.onPoll = PollCheck::OnPoll;
    control.context = &check;
    GuestSetup guest("guest_v10", &control);

    ASSERT_EQ(0, plugin.Init());
    ASSERT_TRUE(WaitUntil([&] { return control.initCalls == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return check.rounds > 0; }));

    const DWORD seconds = SoakSeconds();
    SimulatedHost host(&plugin, &tracks);
    std::vector<Resources> samples;
    Resources base = {0, 0, 0};
    bool warm = false;
    const DWORD begin = GetTickCount();
    DWORD nextSample = 0;
    for (int n = 0; GetTickCount() - begin < seconds * 1000; ++n) {
        host.PlayTrack(n);
        if (testing::Test::HasFatalFailure())
            break;
        // Measured between tracks, while nothing plays: the guest's file
        // queries then answer no file and open nothing, so a sample does not
        // catch a tag file in the middle of its write.
        DWORD elapsed = GetTickCount() - begin;
        if (!warm && n >= 3 && check.rounds > RoundsPerLogReset) {
            // Every kind of event has happened at least once by now: start,
            // progress, pause, stop, skip, a log reset of the stand-in.
            base = Measure();
            warm = true;
            nextSample = elapsed + seconds * 100;
        } else if (warm && elapsed >= nextSample) {
            samples.push_back(Measure());
            nextSample = elapsed + seconds * 100;
        }
    }
    samples.push_back(Measure());

    Bounded("PluginQuit", [&] { EXPECT_EQ(0, plugin.Quit()); }, 20000);
    EXPECT_EQ(1, control.quitCalls);
    EXPECT_EQ(0, control.callsAfterQuit);

    // Enough happened to count as a soak: minutes of playback, every track
    // many times, the guest's rounds in the thousands.
    EXPECT_GE(host.simulatedMs, 3 * 60 * 1000LL);
    EXPECT_GE(host.tracksStarted, TrackCount + 1);
    EXPECT_GE(check.rounds, 1000);
    EXPECT_GE(check.files, 500);

    // Every answer possible and every file whole.
    EXPECT_EQ(0, check.brokenFiles) << check.firstProblem;
    EXPECT_EQ(0, check.mixedFiles) << check.firstProblem;
    EXPECT_EQ(0, check.wrongPath) << check.firstProblem;
    EXPECT_EQ(0, check.badPlayState) << check.firstProblem;
    EXPECT_EQ(0, check.badLength) << check.firstProblem;
    EXPECT_EQ(0, check.badPosition) << check.firstProblem;

    // Flat: no sample after the warm-up above the baseline by more than a
    // transient (a tag file open for its write, a message being handled).
    // A leak per query or per track would show in the thousands.
    ASSERT_TRUE(warm);
    std::string trail = Describe("baseline", base);
    for (size_t i = 0; i < samples.size(); ++i)
        trail += "\n" + Describe(("sample " + std::to_string(i)).c_str(), samples[i]);
    for (const Resources& s : samples) {
        EXPECT_LE(s.handles, base.handles + 4) << trail;
        EXPECT_LE(s.threads, base.threads + 1) << trail;
        EXPECT_LE(s.privateBytes, base.privateBytes + 256 * 1024) << trail;
    }
    printf("soak: %lld s simulated in %lu s, %d tracks, %d pauses, %ld guest "
           "rounds, %ld tag files read whole, %ld rounds without a file\n%s\n",
           host.simulatedMs / 1000, (unsigned long)seconds, host.tracksStarted,
           host.pauses, check.rounds, check.files, check.noFile, trail.c_str());
}

} // namespace
