// The debugger line that the player window writes for every message it
// receives, before it handles it.
#include "emulation_support.h"

#include <stdio.h>

using namespace emulation_tests;
using namespace testing_support;

namespace {

class Trace : public GuestFixture {};

int CountMessages(const std::vector<std::string>& lines, int from, int to,
                  unsigned long message)
{
    int n = 0;
    for (int i = from; i < to; ++i) {
        TraceLine t;
        if (ParseTrace(lines[i], &t) && t.message == message)
            ++n;
    }
    return n;
}

TEST_F(Trace, OneLinePerMessageFromCreationToDestructionEachBeforeItIsHandled)
{
    UseGuest("guest_v10");
    control.queryFromInit = 1;
    control.subclassWindow = 1;   // counts every message that reaches it
    control.pollerEnabled = 1;    // messages from another thread as well
    control.pollIntervalMs = 1;

    DebugCapture capture;
    Start();
    HWND window = WaitForWindow();
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(WaitUntil([&] { return control.pollRounds >= 3; }));
    ASSERT_EQ(0, plugin.TrackStart(1, "C:\\music\\one.mp3", 2000));
    // Shown before the stop, also where the window thread took longer than
    // the track start waits for it.
    ASSERT_TRUE(WaitUntil([&] {
        char title[64] = {0};
        GetWindowTextA(window, title, sizeof(title));
        return lstrcmpA(title, "C:\\music\\one.mp3 - 2000 - Winamp") == 0;
    }));
    Stop();

    std::vector<std::string> lines = capture.Lines();
    SCOPED_TRACE(Dump(lines));
    int init = FindLine(lines, "guest: init\n");
    int subclassed = FindLine(lines, "guest: subclassed\n");
    int quit = FindLine(lines, "guest: quit\n");
    int quitDone = FindLine(lines, "guest: quit done\n");
    ASSERT_TRUE(init >= 0 && subclassed > init && quit > subclassed &&
                quitDone > quit);

    // WM_CREATE: one line, written before the guest was started inside it;
    // init's own query follows, nested in the creation.
    EXPECT_EQ(1, CountMessages(lines, 0, init, WM_CREATE));
    EXPECT_EQ(0, CountMessages(lines, init, (int)lines.size(), WM_CREATE));
    EXPECT_EQ(1, CountMessages(lines, 0, init, WM_NCCREATE));
    TraceLine initQuery;
    ASSERT_TRUE(ParseTrace(lines[init + 1], &initQuery));
    EXPECT_EQ((unsigned long)WM_USER, initQuery.message);
    EXPECT_EQ(104, initQuery.lparam);

    // WM_DESTROY from the stop: one line, before the guest's quit (queries
    // answered while the stop waits may come in between).
    EXPECT_EQ(1, CountMessages(lines, init, quit, WM_DESTROY));
    for (int i = init; i < quit; ++i) {
        TraceLine t;
        if (ParseTrace(lines[i], &t) && t.message == WM_DESTROY) {
            EXPECT_EQ(0, t.wparam);
            EXPECT_EQ(0, t.lparam);
        }
    }

    // Exactly one line per message: every message between the subclass and
    // the end of quit went through the guest's subclass once.
    int traced = 0;
    for (int i = subclassed; i < quitDone; ++i) {
        TraceLine t;
        if (ParseTrace(lines[i], &t))
            ++traced;
    }
    EXPECT_EQ(control.subclassMessages, traced);
    EXPECT_GT(control.subclassMessages, 12) << "poll rounds and the title";
    EXPECT_EQ(1, CountMessages(lines, subclassed, quitDone, WM_SETTEXT));

    // Never shown.
    for (const TraceLine& t : TraceLines(lines))
        EXPECT_FALSE(t.message == WM_SHOWWINDOW && t.wparam != 0);
    EXPECT_EQ(0, control.callsAfterQuit);
}

TEST_F(Trace, QueriesFromAnotherThreadAreTracedOnceEachInOrderWithSignedNumbers)
{
    Start();
    HWND window = WaitForWindow();
    ASSERT_NE(nullptr, window);

    DebugCapture capture;
    // The numbers' text after the message number, which Windows and Wine
    // pad differently ("0X400" and "0X0400").
    struct { WPARAM wp; LPARAM lp; const char* tail; } sent[] = {
        {0, 104, " wp=0 lp=104\n"},
        {1, 105, " wp=1 lp=105\n"},
        {(WPARAM)-1, -5, " wp=-1 lp=-5\n"},
        {0x7FFFFFFF, (LPARAM)0x80000000, " wp=2147483647 lp=-2147483648\n"},
        {2, 211, " wp=2 lp=211\n"},
        {3, 9999, " wp=3 lp=9999\n"},
    };
    Bounded("queries from a guest-like thread", [&] {
        for (const auto& q : sent)
            SendMessageA(window, WM_USER, q.wp, q.lp);
    });

    std::vector<std::string> lines = capture.Lines();
    std::vector<std::string> queries;
    for (const std::string& line : lines) {
        TraceLine t;
        if (ParseTrace(line, &t) && t.message == WM_USER)
            queries.push_back(line);
    }
    ASSERT_EQ(sizeof(sent) / sizeof(sent[0]), queries.size()) << Dump(lines);
    for (size_t i = 0; i < queries.size(); ++i) {
        // Hexadecimal with capital digits and the 0X prefix.
        EXPECT_EQ(0u, queries[i].find("msg=0X")) << queries[i];
        EXPECT_NE(std::string::npos, queries[i].find("400 wp=")) << queries[i];
        EXPECT_EQ(sent[i].tail, queries[i].substr(queries[i].find(" wp=")));
    }

    // A message the window passes on is traced as well, with its numbers.
    capture.Clear();
    Bounded("WM_NULL", [&] { SendMessageA(window, WM_NULL, 12, 34); });
    Bounded("an unhandled message", [&] {
        SendMessageA(window, WM_APP + 5, 56, -78);
    });
    std::vector<TraceLine> passedOn = TraceLines(capture.Lines());
    ASSERT_EQ(2u, passedOn.size()) << Dump(capture.Lines());
    EXPECT_EQ(0ul, passedOn[0].message);
    EXPECT_EQ(12, passedOn[0].wparam);
    EXPECT_EQ(34, passedOn[0].lparam);
    EXPECT_EQ((unsigned long)(WM_APP + 5), passedOn[1].message);
    EXPECT_EQ(56, passedOn[1].wparam);
    EXPECT_EQ(-78, passedOn[1].lparam);
    Stop();
}

TEST_F(Trace, WithoutAGuestCreationAndStopAreTraced)
{
    DebugCapture capture;
    Start();
    ASSERT_NE(nullptr, WaitForWindow());
    Stop();
    std::vector<std::string> lines = capture.Lines();
    std::vector<TraceLine> traced = TraceLines(lines);
    ASSERT_FALSE(traced.empty());
    // The first message a window gets is WM_NCCREATE (or WM_GETMINMAXINFO
    // before it); WM_CREATE comes once.
    int creates = 0, destroys = 0, firstDestroy = -1;
    for (size_t i = 0; i < traced.size(); ++i) {
        if (traced[i].message == WM_CREATE)
            ++creates;
        if (traced[i].message == WM_DESTROY) {
            ++destroys;
            if (firstDestroy < 0)
                firstDestroy = (int)i;
        }
    }
    EXPECT_EQ(1, creates) << Dump(lines);
    // The stop's WM_DESTROY; the window's real destruction, once the loop
    // has ended, may bring another.
    EXPECT_GE(destroys, 1) << Dump(lines);
    ASSERT_GE(firstDestroy, 0);
    EXPECT_EQ(0, traced[firstDestroy].wparam);
    EXPECT_EQ(0, traced[firstDestroy].lparam);
}

} // namespace
