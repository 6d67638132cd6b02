#include "tools_test_support.h"

#include <gtest/gtest.h>

#include "support/plugin_host.h"
#include "support/test_support.h"

namespace tools_testing {

namespace {

unsigned CaptureCounter = 0;

std::string TempFileName(const char* stem)
{
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    char name[MAX_PATH];
    wsprintfA(name, "%s%s-%lu-%u.txt", base, stem, GetCurrentProcessId(),
              ++CaptureCounter);
    return name;
}

} // namespace

std::string DemoFile(const std::string& name)
{
    return std::string(TEBO_DEMO_DIR) + "/" + name;
}

StdoutCapture::StdoutCapture()
{
    path_ = TempFileName("tools-stdout");
    file_ = CreateFileA(path_.c_str(), GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, file_);
    previous_ = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file_);
}

StdoutCapture::~StdoutCapture()
{
    SetStdHandle(STD_OUTPUT_HANDLE, previous_);
    CloseHandle(file_);
    DeleteFileA(path_.c_str());
}

std::string StdoutCapture::Text() const
{
    return testing_support::ReadWholeFile(path_);
}

bool StdoutCapture::WaitFor(const std::string& text, DWORD timeoutMs) const
{
    return testing_support::WaitUntil(
        [&] { return Text().find(text) != std::string::npos; }, timeoutMs);
}

TagLibrary::TagLibrary()
{
    module_ = LoadLibraryA(DemoFile("mp3infp.dll").c_str());
    EXPECT_NE(nullptr, module_) << "cannot load " << DemoFile("mp3infp.dll");
}

TagLibrary::~TagLibrary()
{
    if (module_ != NULL)
        FreeLibrary(module_);
}

uint32_t TagLibrary::Call(const char* name, const uintptr_t* args, int count)
{
    const void* entry = (const void*)GetProcAddress(module_, name);
    if (entry == NULL) {
        ADD_FAILURE() << "no export " << name;
        return 0xDEADBEEF;
    }
    uint32_t result = 0xDEADBEEF;
    EXPECT_TRUE(testing_support::CallStdcall(entry, args, count, &result))
        << name << " did not remove its " << count << " argument(s)";
    return result;
}

uint32_t TagLibrary::Load(const char* path)
{
    uintptr_t args[2] = {0, (uintptr_t)path};
    return Call("mp3infp_Load", args, 2);
}

int TagLibrary::SetConf(const char* name, const char* value)
{
    uintptr_t args[2] = {(uintptr_t)name, (uintptr_t)value};
    return (int)Call("mp3infp_SetConf", args, 2);
}

uint32_t TagLibrary::GetType()
{
    return Call("mp3infp_GetType", NULL, 0);
}

std::string TagLibrary::Value(const char* name, int* ok)
{
    char* text = (char*)"sentinel: never set";
    uintptr_t args[2] = {(uintptr_t)name, (uintptr_t)&text};
    int result = (int)Call("mp3infp_GetValue", args, 2);
    if (ok != nullptr)
        *ok = result;
    return text != NULL ? std::string(text) : std::string("<null>");
}

HostRun RunProgram(const std::string& exe, const std::string& arguments,
                   const std::string& folder, DWORD timeoutMs)
{
    HostRun run = {0xFFFFFFFF, std::string()};
    std::string outPath = TempFileName("tools-host");
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot create " << outPath;
        return run;
    }
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process;
    std::string commandLine = "\"" + exe + "\" " + arguments;
    if (!CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, 0, NULL,
                        folder.c_str(), &startup, &process)) {
        ADD_FAILURE() << "cannot run " << commandLine << ": " << GetLastError();
        CloseHandle(out);
        return run;
    }
    CloseHandle(out);
    if (!testing_support::WaitFor(process.hProcess, timeoutMs)) {
        ADD_FAILURE() << commandLine << " did not end within " << timeoutMs << " ms";
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.output = testing_support::ReadWholeFile(outPath);
    DeleteFileA(outPath.c_str());
    return run;
}

} // namespace tools_testing
