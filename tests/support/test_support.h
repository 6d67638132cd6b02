// Helpers shared by the Windows test programs: fault and debugger-output
// capture, temporary folders, bounded waits and threads.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// Faults (access violations and the like) seen anywhere in the process since
// it started. Wine swallows exceptions inside window procedures, so a fault
// while answering a query could otherwise pass for an answer of 0; the test
// main installs a vectored handler that counts them, and every test fails
// when the count moved during it.
LONG FaultCount();

// Captures the lines passed to OutputDebugStringA (on any thread) while
// active. Windows and Wine both raise DBG_PRINTEXCEPTION_C for them; a
// vectored handler sees it first.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    std::vector<std::string> Lines() const;
    void Clear();
};

// A fresh folder under the temporary folder, removed with its files.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "\\" + name; }
private:
    std::string path_;
};

// A thread running fn, joined (bounded) on destruction.
class TestThread {
public:
    explicit TestThread(std::function<void()> fn);
    ~TestThread();
    // True when the thread ended within timeoutMs.
    bool Join(DWORD timeoutMs = 10000);
    HANDLE Handle() const { return handle_; }
    DWORD Id() const { return id_; }
private:
    static DWORD WINAPI Run(LPVOID self);
    std::function<void()> fn_;
    HANDLE handle_;
    DWORD id_;
};

// Waits for a handle; false on time-out (a hang becomes a failure).
bool WaitFor(HANDLE handle, DWORD timeoutMs = 10000);

// Runs fn on a thread of its own and waits up to timeoutMs for it; returns
// the milliseconds it took. A thread stuck inside the plug-in cannot be
// cleaned up behind, so a hang is reported (naming what) and ends the
// program: the run fails instead of hanging until its time limit.
DWORD Bounded(const char* what, const std::function<void()>& fn,
              DWORD timeoutMs = 10000);

// Reports what hung and ends the program.
[[noreturn]] void FailHang(const char* what);

// Polls cond (dispatching this thread's messages) until it holds or the time
// is up; returns its last value.
bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs = 10000);

// Folder of a test double variant: bin/doubles/VARIANT.
std::string DoubleDir(const std::string& variant);

// Process-wide resource measures that work under Wine as on Windows, whose
// own counters (GetProcessHandleCount, GetProcessMemoryInfo) may answer 0.
int CountOpenHandles();
int CountThreads();
SIZE_T CommittedPrivateBytes();

// File contents, or empty when unreadable.
std::string ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, const std::string& bytes);

} // namespace testing_support
