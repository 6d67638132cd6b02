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

// Two ntdll functions, looked up at run time: ntdll is in every process, and
// the DLL links to nothing but kernel32 and user32. NtGetNextThread walks the
// threads of this process alone (a Toolhelp snapshot lists the whole
// system's, and costs many times more); systems before Vista lack it.
typedef LONG(WINAPI* QueryThreadFunction)(HANDLE thread, int infoClass,
                                          PVOID info, ULONG size,
                                          PULONG returned);
typedef LONG(WINAPI* NextThreadFunction)(HANDLE process, HANDLE thread,
                                         ACCESS_MASK access, ULONG attributes,
                                         ULONG flags, PHANDLE next);
const int ThreadBasicInformationClass = 0;
const int ThreadStartAddressClass = 9;   // ThreadQuerySetWin32StartAddress

struct ThreadBasicInformation {
    LONG exitStatus;
    PVOID teb;
    HANDLE clientProcess;
    HANDLE clientThread;     // the thread's id
    ULONG_PTR affinityMask;
    LONG priority;
    LONG basePriority;
};

FARPROC NtdllFunction(const char* name)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL ? GetProcAddress(ntdll, name) : NULL;
}

const IMAGE_NT_HEADERS* HeadersOf(HMODULE module)
{
    const BYTE* base = (const BYTE*)module;
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)base;
    return (const IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
}

ImageRange WholeImageOf(HMODULE module)
{
    ImageRange image = {0, 0};
    if (module != NULL) {
        image.begin = (ULONG_PTR)module;
        image.end = image.begin + HeadersOf(module)->OptionalHeader.SizeOfImage;
    }
    return image;
}

// From the first to the end of the last executable section of a loaded
// module; the whole image if it names none.
ImageRange CodeOf(HMODULE module)
{
    const BYTE* base = (const BYTE*)module;
    const IMAGE_NT_HEADERS* nt = HeadersOf(module);
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
    return code.end != 0 ? code : WholeImageOf(module);
}

bool InImage(ULONG_PTR value, const ImageRange& image)
{
    return value >= image.begin && value < image.end;
}

// The readable part of memory from address to the end of its region, in
// words; 0 when address is not in committed, readable memory.
SIZE_T ReadableWords(ULONG_PTR address)
{
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery((LPCVOID)address, &region, sizeof(region)) == 0)
        return 0;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                           PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                           PAGE_EXECUTE_WRITECOPY;
    if (region.State != MEM_COMMIT || (region.Protect & readable) == 0 ||
        (region.Protect & PAGE_GUARD) != 0)
        return 0;
    ULONG_PTR end = (ULONG_PTR)region.BaseAddress + region.RegionSize;
    return (end - address) / sizeof(ULONG_PTR);
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

// The general registers, instruction and stack pointer first.
struct Registers {
    ULONG_PTR values[17];
    SIZE_T count;
};

Registers RegistersOf(const CONTEXT& c)
{
#if defined(_WIN64)
    Registers r = {{c.Rip, c.Rsp, c.Rbp, c.Rax, c.Rbx, c.Rcx, c.Rdx, c.Rsi,
                    c.Rdi, c.R8, c.R9, c.R10, c.R11, c.R12, c.R13, c.R14,
                    c.R15},
                   17};
#else
    Registers r = {{c.Eip, c.Esp, c.Ebp, c.Eax, c.Ebx, c.Ecx, c.Edx, c.Esi,
                    c.Edi},
                   9};
#endif
    return r;
}

// A thread that has not yet entered its start routine still holds that
// routine's address in a register and its parameter in another, on a stack
// that holds next to nothing. When the routine is a runtime's
// (_beginthreadex), the code it will call is named only in the block the
// parameter points to: look at that block's first words too. Read, not
// dereferenced: other threads may free it meanwhile.
bool ParameterPointsInto(const Registers& r, ULONG_PTR start,
                         const ImageRange& image)
{
    const SIZE_T firstGeneral = 3;   // after the instruction, stack, frame
    const SIZE_T startingStackWords = 64;
    bool starting = false;
    for (SIZE_T i = firstGeneral; i < r.count && !starting; ++i)
        starting = start != 0 && r.values[i] == start;
    if (!starting || ReadableWords(r.values[1]) > startingStackWords)
        return false;
    for (SIZE_T i = firstGeneral; i < r.count; ++i) {
        if (r.values[i] == start)
            continue;
        ULONG_PTR block[32];
        SIZE_T got = 0;
        // A block that ends the readable memory is read in part (got).
        ReadProcessMemory(GetCurrentProcess(), (LPCVOID)r.values[i], block,
                          sizeof(block), &got);
        if (AnyWordInRange(block, got / sizeof(ULONG_PTR), image.begin,
                           image.end))
            return true;
    }
    return false;
}

// Whether a word is a return address into the code: it lies in it, and the
// bytes before it end a call instruction.
bool ReturnsInto(ULONG_PTR word, const ImageRange& code)
{
    const SIZE_T longestCall = 7;
    if (!InImage(word, code) || word - code.begin < longestCall)
        return false;
    return EndsWithCall((const unsigned char*)(word - longestCall),
                        longestCall);
}

// The live part of a stack: from the stack pointer to the end of the
// committed region around it, which is the stack's top (the pages of a stack
// are committed from the top down, and the stack is an allocation of its
// own). Only return addresses count: live frames also hold stale values,
// such as the address of a callback the thread ran a while ago. A stack
// pointer in memory that cannot be read counts as pointing in.
bool StackReturnsInto(ULONG_PTR sp, const ImageRange& code)
{
    sp &= ~(ULONG_PTR)(sizeof(ULONG_PTR) - 1);
    SIZE_T count = ReadableWords(sp);
    if (count == 0)
        return true;
    const ULONG_PTR* words = (const ULONG_PTR*)sp;
    for (SIZE_T i = 0; i < count; ++i) {
        if (ReturnsInto(words[i], code))
            return true;
    }
    return false;
}

// Whether the thread may run code of the image. The start address is read
// without stopping the thread; for the rest it is suspended for as long as
// one look at its instruction pointer and stack takes, and nothing is allocated or
// locked meanwhile (it may hold a heap or loader lock). A thread that cannot
// be looked at counts as one that may.
bool ThreadMayRunIn(QueryThreadFunction query, HANDLE thread,
                    const ImageRange& image)
{
    ULONG_PTR start = StartAddressOf(query, thread);
    if (InImage(start, image))
        return true;
    if (SuspendThread(thread) == (DWORD)-1)
        return WaitForSingleObject(thread, 0) != WAIT_OBJECT_0;
    CONTEXT context;
    ZeroMemory(&context, sizeof(context));
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    // GetThreadContext also waits until the suspension has taken effect.
    bool may = !GetThreadContext(thread, &context);
    if (!may) {
        Registers registers = RegistersOf(context);
        may = InImage(registers.values[0], image) ||
              StackReturnsInto(registers.values[1], image) ||
              ParameterPointsInto(registers, start, image);
    }
    ResumeThread(thread);
    return may;
}

// What the first look needs to know besides the code itself.
struct Search {
    QueryThreadFunction query;
    NextThreadFunction nextThread;   // or null
    ImageRange code;
    FILETIME loadedAt;
    ImageRange systemPools;   // ntdll, whose threads run any DLL's callbacks
};

DWORD ThreadIdOf(QueryThreadFunction query, HANDLE thread)
{
    ThreadBasicInformation info;
    ZeroMemory(&info, sizeof(info));
    if (query == NULL || query(thread, ThreadBasicInformationClass, &info,
                               sizeof(info), NULL) != 0)
        return 0;
    return (DWORD)(ULONG_PTR)info.clientThread;
}

// Whether the thread could have come to run the code at all: created since
// the module was loaded, or a pool thread of the system, or unknown. A thread
// the host had before cannot have been started by the guest; this spares the
// host's threads the suspension.
bool CouldHaveRunIn(const Search& search, HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user) ||
        CompareFileTime(&created, &search.loadedAt) >= 0)
        return true;
    ULONG_PTR start = StartAddressOf(search.query, thread);
    return start == 0 || InImage(start, search.systemPools);
}

void CloseThreads(ThreadSet* set)
{
    for (DWORD i = 0; i < set->count; ++i)
        CloseHandle(set->threads[i]);
    set->count = 0;
}

// Adds the thread to the set when it may run the code; FALSE (the caller
// closes the handle) otherwise. The calling thread is never suspended.
bool KeepIfIn(const Search& search, HANDLE thread, DWORD threadId,
              ThreadSet* found)
{
    if (!CouldHaveRunIn(search, thread))
        return false;
    if (threadId == 0)
        threadId = ThreadIdOf(search.query, thread);
    if (threadId == GetCurrentThreadId() ||
        !ThreadMayRunIn(search.query, thread, search.code))
        return false;
    found->threads[found->count++] = thread;
    return true;
}

// Whether the set can take no more: the rest are found at the next full look.
bool Full(const ThreadSet& set)
{
    return set.count == sizeof(set.threads) / sizeof(HANDLE);
}

// One look at every other thread of the process that could have come to run
// the code. FALSE when the threads cannot be listed.
BOOL FindThreadsIn(const Search& search, ThreadSet* found)
{
    found->count = 0;
    if (search.nextThread != NULL) {
        HANDLE previous = NULL;
        bool kept = false;
        HANDLE next = NULL;
        while (!Full(*found) &&
               search.nextThread(GetCurrentProcess(), previous, ThreadAccess, 0,
                                 0, &next) == 0) {
            if (previous != NULL && !kept)
                CloseHandle(previous);
            kept = KeepIfIn(search, next, 0, found);
            previous = next;
        }
        if (previous != NULL && !kept)
            CloseHandle(previous);
        return TRUE;
    }

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD process = GetCurrentProcessId();
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Thread32First(snapshot, &entry); ok && !Full(*found);
         ok = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != process)
            continue;
        HANDLE thread = OpenThread(ThreadAccess, FALSE, entry.th32ThreadID);
        if (thread != NULL &&   // else ended meanwhile
            !KeepIfIn(search, thread, entry.th32ThreadID, found))
            CloseHandle(thread);
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

bool EndsWithCall(const unsigned char* before, SIZE_T n)
{
    // call rel32: E8 and four bytes.
    if (n >= 5 && before[n - 5] == 0xE8)
        return true;
    // call r/m: FF, a ModRM byte whose reg field is 2, then an optional SIB
    // byte and a displacement; its length follows from ModRM and SIB.
    for (SIZE_T length = 2; length <= 7 && length <= n; ++length) {
        const unsigned char* op = before + n - length;
        unsigned char modrm = op[1];
        if (op[0] != 0xFF || (modrm & 0x38) != 0x10)
            continue;
        unsigned mod = modrm >> 6, rm = modrm & 7;
        SIZE_T expected = 2;
        if (mod != 3 && rm == 4) {
            expected += 1;   // SIB
            if (length < 3)
                continue;
            if (mod == 0 && (op[2] & 7) == 5)
                expected += 4;   // SIB without base: disp32
        }
        if (mod == 0 && rm == 5)
            expected += 4;       // disp32 (RIP-relative on x64)
        else if (mod == 1)
            expected += 1;       // disp8
        else if (mod == 2)
            expected += 4;       // disp32
        if (expected == length)
            return true;
    }
    return false;
}

BOOL WaitUntilNoThreadRunsIn(HMODULE module, const FILETIME& loadedAt,
                             DWORD timeoutMs)
{
    Search search;
    search.query = (QueryThreadFunction)(void*)NtdllFunction(
        "NtQueryInformationThread");
    search.nextThread = (NextThreadFunction)(void*)NtdllFunction(
        "NtGetNextThread");
    search.code = CodeOf(module);
    search.loadedAt = loadedAt;
    search.systemPools = WholeImageOf(GetModuleHandleA("ntdll.dll"));
    DWORD start = GetTickCount();
    DWORD interval = 1;
    for (;;) {
        ThreadSet busy;
        if (!FindThreadsIn(search, &busy))
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
            KeepThreadsStillIn(search.query, search.code, &busy);
        }
    }
}
