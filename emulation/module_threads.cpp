// Threads that may still run a module's code.
#include "module_threads.h"

#include <tlhelp32.h>

namespace {

// The part of a module's image that holds its code: where a thread running
// it executes, started, or returns to. The module handle (the image's first
// byte) and pointers to its data are not in it: other threads may well hold
// those.
struct ImageRange {
    ULONG_PTR begin;
    ULONG_PTR end;
};

// The threads found in an image, opened; at most one wait's worth.
struct ThreadSet {
    DWORD count;
    HANDLE threads[MAXIMUM_WAIT_OBJECTS - 1];
};

const DWORD ThreadAccess = SYNCHRONIZE | THREAD_SUSPEND_RESUME |
                           THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION;

// The longest pause between two looks at the threads found in an image: some
// never end (pool threads that ran a callback), they only leave it.
const DWORD LongestLookIntervalMs = 32;

// NtQueryInformationThread, looked up at run time: ntdll is in every
// process, and the DLL links to nothing but kernel32 and user32.
typedef LONG(WINAPI* QueryThreadFunction)(HANDLE thread, int infoClass,
                                          PVOID info, ULONG size,
                                          PULONG returned);
const int ThreadBasicInformationClass = 0;
const int ThreadStartAddressClass = 9;   // ThreadQuerySetWin32StartAddress

struct ThreadBasicInformation {
    LONG exitStatus;
    PVOID teb;               // begins with NT_TIB: its StackBase is the top
    HANDLE clientProcess;
    HANDLE clientThread;
    ULONG_PTR affinityMask;
    LONG priority;
    LONG basePriority;
};

QueryThreadFunction QueryThread(void)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == NULL)
        return NULL;
    return (QueryThreadFunction)(void*)GetProcAddress(
        ntdll, "NtQueryInformationThread");
}

// From the first to the end of the last executable section of a loaded
// module; the whole image if it names none.
ImageRange CodeOf(HMODULE module)
{
    const BYTE* base = (const BYTE*)module;
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    const IMAGE_NT_HEADERS* nt =
        (const IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    ImageRange code = {0, 0};
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        const IMAGE_SECTION_HEADER& s = sections[i];
        if ((s.Characteristics & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_CNT_CODE)) == 0)
            continue;
        ULONG_PTR begin = (ULONG_PTR)base + s.VirtualAddress;
        ULONG_PTR end = begin + s.Misc.VirtualSize;
        if (code.end == 0 || begin < code.begin)
            code.begin = begin;
        if (end > code.end)
            code.end = end;
    }
    if (code.end == 0) {
        code.begin = (ULONG_PTR)base;
        code.end = (ULONG_PTR)base + nt->OptionalHeader.SizeOfImage;
    }
    return code;
}

bool InImage(ULONG_PTR value, const ImageRange& image)
{
    return value >= image.begin && value < image.end;
}

// The address the thread was started at, or 0 when it cannot be told. For a
// thread started through a runtime library (_beginthreadex) it lies in the
// runtime; the stack tells those.
ULONG_PTR StartAddressOf(QueryThreadFunction query, HANDLE thread)
{
    PVOID start = NULL;
    if (query == NULL ||
        query(thread, ThreadStartAddressClass, &start, sizeof(start), NULL) != 0)
        return 0;
    return (ULONG_PTR)start;
}

// The top of the thread's stack (the NT_TIB's StackBase), or 0.
ULONG_PTR StackTopOf(QueryThreadFunction query, HANDLE thread)
{
    ThreadBasicInformation info;
    ZeroMemory(&info, sizeof(info));
    if (query == NULL ||
        query(thread, ThreadBasicInformationClass, &info, sizeof(info),
              NULL) != 0 ||
        info.teb == NULL)
        return 0;
    // Read, not dereferenced: a thread that ends meanwhile takes its TEB along.
    NT_TIB tib;
    SIZE_T got = 0;
    if (!ReadProcessMemory(GetCurrentProcess(), info.teb, &tib, sizeof(tib),
                           &got) ||
        got != sizeof(tib))
        return 0;
    return (ULONG_PTR)tib.StackBase;
}

bool RegistersPointInto(const CONTEXT& c, const ImageRange& image)
{
#if defined(_WIN64)
    const ULONG_PTR registers[] = {
        c.Rip, c.Rsp, c.Rbp, c.Rax, c.Rbx, c.Rcx, c.Rdx, c.Rsi, c.Rdi,
        c.R8,  c.R9,  c.R10, c.R11, c.R12, c.R13, c.R14, c.R15};
#else
    const ULONG_PTR registers[] = {c.Eip, c.Esp, c.Ebp, c.Eax, c.Ebx,
                                   c.Ecx, c.Edx, c.Esi, c.Edi};
#endif
    return AnyWordInRange(registers, sizeof(registers) / sizeof(registers[0]),
                          image.begin, image.end);
}

ULONG_PTR StackPointerOf(const CONTEXT& c)
{
#if defined(_WIN64)
    return c.Rsp;
#else
    return c.Esp;
#endif
}

// The live part of a stack, from the stack pointer up to the top, region by
// region; pages that cannot be read are skipped. Without a known top, the
// committed region around the stack pointer ends the search.
bool StackPointsInto(ULONG_PTR sp, ULONG_PTR top, const ImageRange& image)
{
    sp &= ~(ULONG_PTR)(sizeof(ULONG_PTR) - 1);
    ULONG_PTR at = sp;
    while (top == 0 || at < top) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery((LPCVOID)at, &region, sizeof(region)) == 0)
            break;
        ULONG_PTR end = (ULONG_PTR)region.BaseAddress + region.RegionSize;
        if (top != 0 && end > top)
            end = top;
        const DWORD readable = PAGE_READONLY | PAGE_READWRITE |
                               PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
        bool canRead = region.State == MEM_COMMIT &&
                       (region.Protect & readable) != 0 &&
                       (region.Protect & PAGE_GUARD) == 0;
        if (canRead &&
            AnyWordInRange((const ULONG_PTR*)at,
                           (end - at) / sizeof(ULONG_PTR), image.begin,
                           image.end))
            return true;
        if (top == 0)
            break;
        at = end;
    }
    return false;
}

// Whether the thread may run code of the image. The start address is read
// without stopping the thread; for the rest it is suspended for as long as
// one look at its registers and stack takes, and nothing is allocated or
// locked meanwhile (it may hold a heap or loader lock). A thread that cannot
// be looked at counts as one that may.
bool ThreadMayRunIn(QueryThreadFunction query, HANDLE thread,
                    const ImageRange& image)
{
    if (InImage(StartAddressOf(query, thread), image))
        return true;
    ULONG_PTR top = StackTopOf(query, thread);
    if (SuspendThread(thread) == (DWORD)-1)
        return WaitForSingleObject(thread, 0) != WAIT_OBJECT_0;
    CONTEXT context;
    ZeroMemory(&context, sizeof(context));
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    // GetThreadContext also waits until the suspension has taken effect.
    bool may = !GetThreadContext(thread, &context) ||
               RegistersPointInto(context, image) ||
               StackPointsInto(StackPointerOf(context), top, image);
    ResumeThread(thread);
    return may;
}

void CloseThreads(ThreadSet* set)
{
    for (DWORD i = 0; i < set->count; ++i)
        CloseHandle(set->threads[i]);
    set->count = 0;
}

// One look at every other thread of the process. FALSE when the threads
// cannot be listed.
BOOL FindThreadsIn(QueryThreadFunction query, const ImageRange& image,
                   ThreadSet* found)
{
    found->count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD process = GetCurrentProcessId();
    DWORD self = GetCurrentThreadId();
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    BOOL full = FALSE;
    for (BOOL ok = Thread32First(snapshot, &entry); ok && !full;
         ok = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != process || entry.th32ThreadID == self)
            continue;
        HANDLE thread = OpenThread(ThreadAccess, FALSE, entry.th32ThreadID);
        if (thread == NULL)
            continue;   // ended meanwhile
        if (ThreadMayRunIn(query, thread, image)) {
            found->threads[found->count++] = thread;
            // More than one wait can watch: the rest are found at the next
            // full look.
            full = found->count == sizeof(found->threads) / sizeof(HANDLE);
        } else {
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
    return TRUE;
}

// Keeps the threads of the set that still may run code of the image.
void KeepThreadsStillIn(QueryThreadFunction query, const ImageRange& image,
                        ThreadSet* set)
{
    DWORD kept = 0;
    for (DWORD i = 0; i < set->count; ++i) {
        HANDLE thread = set->threads[i];
        if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0 &&
            ThreadMayRunIn(query, thread, image))
            set->threads[kept++] = thread;
        else
            CloseHandle(thread);
    }
    set->count = kept;
}

} // namespace

bool AnyWordInRange(const ULONG_PTR* words, SIZE_T count, ULONG_PTR begin,
                    ULONG_PTR end)
{
    for (SIZE_T i = 0; i < count; ++i) {
        if (words[i] >= begin && words[i] < end)
            return true;
    }
    return false;
}

DWORD WaitAnsweringSentMessages(DWORD count, const HANDLE* handles,
                                DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        // Handles the sent messages already pending; takes nothing posted.
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return WaitForMultipleObjects(count, handles, FALSE, 0);
        // MWMO_INPUTAVAILABLE: a message sent before the wait, that code on
        // this thread (a guest's subclass, say) has already seen in the
        // queue status, must end the wait too; a plain wait wakes only for
        // messages that came after the last look at the queue.
        DWORD r = MsgWaitForMultipleObjectsEx(count, handles,
                                              timeoutMs - elapsed,
                                              QS_SENDMESSAGE,
                                              MWMO_INPUTAVAILABLE);
        if (r != WAIT_OBJECT_0 + count)
            return r;
    }
}

BOOL WaitUntilNoThreadRunsIn(HMODULE module, DWORD timeoutMs)
{
    QueryThreadFunction query = QueryThread();
    ImageRange image = CodeOf(module);
    DWORD start = GetTickCount();
    DWORD interval = 1;
    for (;;) {
        ThreadSet busy;
        if (!FindThreadsIn(query, image, &busy))
            return FALSE;
        if (busy.count == 0)
            return TRUE;
        // Watch only these until each has ended or left the image; then one
        // more look at all, since they may have started others.
        while (busy.count > 0) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= timeoutMs) {
                CloseThreads(&busy);
                return FALSE;
            }
            DWORD left = timeoutMs - elapsed;
            WaitAnsweringSentMessages(busy.count, busy.threads,
                                      interval < left ? interval : left);
            if (interval < LongestLookIntervalMs)
                interval *= 2;
            KeepThreadsStillIn(query, image, &busy);
        }
    }
}
