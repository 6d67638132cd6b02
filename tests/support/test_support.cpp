#include "support/test_support.h"

#include <stdio.h>
#include <tlhelp32.h>

namespace testing_support {

namespace {

volatile LONG Faults = 0;

CRITICAL_SECTION CaptureLock;
bool CaptureLockReady = false;
std::vector<std::string>* CapturedLines = NULL;
PVOID CaptureHandler = NULL;

const DWORD DbgPrintException = 0x40010006;   // DBG_PRINTEXCEPTION_C

LONG CALLBACK CaptureDebugOutput(PEXCEPTION_POINTERS info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == DbgPrintException &&
        record->NumberParameters >= 2) {
        const char* text = (const char*)record->ExceptionInformation[1];
        size_t length = (size_t)record->ExceptionInformation[0];
        EnterCriticalSection(&CaptureLock);
        if (CapturedLines != NULL && text != NULL) {
            std::string line(text, length > 0 ? length - 1 : 0);
            CapturedLines->push_back(line);
        }
        LeaveCriticalSection(&CaptureLock);
        // Handled: OutputDebugStringA returns normally.
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

LONG CALLBACK CountFaults(PEXCEPTION_POINTERS info)
{
    switch (info->ExceptionRecord->ExceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        InterlockedIncrement(&Faults);
        break;
    default:
        break;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

unsigned TempCounter = 0;

void RemoveTree(const std::string& path)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

} // namespace

void InstallFaultCounter()
{
    AddVectoredExceptionHandler(1, CountFaults);
}

LONG FaultCount()
{
    return Faults;
}

DebugCapture::DebugCapture()
{
    if (!CaptureLockReady) {
        InitializeCriticalSection(&CaptureLock);
        CaptureLockReady = true;
    }
    EnterCriticalSection(&CaptureLock);
    CapturedLines = new std::vector<std::string>();
    LeaveCriticalSection(&CaptureLock);
    CaptureHandler = AddVectoredExceptionHandler(1, CaptureDebugOutput);
}

DebugCapture::~DebugCapture()
{
    RemoveVectoredExceptionHandler(CaptureHandler);
    EnterCriticalSection(&CaptureLock);
    delete CapturedLines;
    CapturedLines = NULL;
    LeaveCriticalSection(&CaptureLock);
}

std::vector<std::string> DebugCapture::Lines() const
{
    EnterCriticalSection(&CaptureLock);
    std::vector<std::string> copy = *CapturedLines;
    LeaveCriticalSection(&CaptureLock);
    return copy;
}

void DebugCapture::Clear()
{
    EnterCriticalSection(&CaptureLock);
    CapturedLines->clear();
    LeaveCriticalSection(&CaptureLock);
}

TempDir::TempDir()
{
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    char name[MAX_PATH];
    for (;;) {
        wsprintfA(name, "%stebo-test-%lu-%u", base, GetCurrentProcessId(),
                  ++TempCounter);
        if (CreateDirectoryA(name, NULL))
            break;
    }
    path_ = name;
}

TempDir::~TempDir()
{
    RemoveTree(path_);
}

TestThread::TestThread(std::function<void()> fn) : fn_(std::move(fn)), id_(0)
{
    handle_ = CreateThread(NULL, 0, Run, this, 0, &id_);
}

TestThread::~TestThread()
{
    if (handle_ != NULL) {
        Join();
        CloseHandle(handle_);
    }
}

bool TestThread::Join(DWORD timeoutMs)
{
    return WaitFor(handle_, timeoutMs);
}

DWORD WINAPI TestThread::Run(LPVOID self)
{
    static_cast<TestThread*>(self)->fn_();
    return 0;
}

bool WaitFor(HANDLE handle, DWORD timeoutMs)
{
    return WaitForSingleObject(handle, timeoutMs) == WAIT_OBJECT_0;
}

void FailHang(const char* what)
{
    fprintf(stderr, "[  HANG    ] %s did not finish in time\n", what);
    fflush(stderr);
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;)
        Sleep(INFINITE);
}

DWORD Bounded(const char* what, const std::function<void()>& fn,
              DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    TestThread* thread = new TestThread(fn);
    if (!thread->Join(timeoutMs))
        FailHang(what);
    delete thread;
    return GetTickCount() - start;
}

int CountOpenHandles()
{
    // Handle tables hand out the lowest free values, so a leak shows as one
    // more valid value in this range.
    int count = 0;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        DWORD flags;
        if (GetHandleInformation((HANDLE)value, &flags))
            ++count;
    }
    return count;
}

int CountThreads()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Thread32First(snapshot, &entry); ok;
         ok = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

SIZE_T CommittedPrivateBytes()
{
    // Walks the address space and adds up committed private regions.
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    const char* at = NULL;
    while (VirtualQuery(at, &info, sizeof(info)) == sizeof(info)) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += info.RegionSize;
        const char* next = (const char*)info.BaseAddress + info.RegionSize;
        if (next <= at)
            break;
        at = next;
    }
    return total;
}

bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (cond())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return cond();
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, NULL, FALSE, 5, QS_ALLINPUT);
    }
}

std::string DoubleDir(const std::string& variant)
{
    return std::string(TEBO_TEST_BIN) + "/doubles/" + variant;
}

std::string ReadWholeFile(const std::string& path)
{
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, NULL) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(file);
    return ok && written == bytes.size();
}

} // namespace testing_support
