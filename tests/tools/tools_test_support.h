// Helpers of the demo tools' tests: where the built demo lies, capture of
// standard output (the guest prints there), a tag library loaded by path,
// and running the host program as a child process.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <string>

namespace tools_testing {

// A file of the demo folder (host program, stand-ins, samples/...).
std::string DemoFile(const std::string& name);

// Sends this process's standard output handle to a file while it lives.
// (Output of the C runtime's own stdout is not affected.)
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string Text() const;    // everything written so far
    // Waits (pumping this thread's messages) until the output holds text.
    bool WaitFor(const std::string& text, DWORD timeoutMs = 10000) const;
private:
    std::string path_;
    HANDLE file_;
    HANDLE previous_;
};

// The demo's mp3infp.dll, loaded by its full path; every call checks that
// the entry removed its own arguments.
class TagLibrary {
public:
    TagLibrary();
    ~TagLibrary();
    bool Loaded() const { return module_ != NULL; }
    HMODULE Module() const { return module_; }
    uint32_t Load(const char* path);
    int SetConf(const char* name, const char* value);
    uint32_t GetType();
    // The text, or "<null>" when the library set the pointer to null; *ok
    // receives the call's result.
    std::string Value(const char* name, int* ok = nullptr);
private:
    uint32_t Call(const char* name, const uintptr_t* args, int count);
    HMODULE module_;
};

struct HostRun {
    DWORD exitCode;
    std::string output;   // standard output and error, UTF-8
};

// Runs exe with the arguments (a command-line tail) in folder, bounded by
// a deadline; a run that does not end in time is ended and fails the test.
HostRun RunProgram(const std::string& exe, const std::string& arguments,
                   const std::string& folder, DWORD timeoutMs = 60000);

} // namespace tools_testing
