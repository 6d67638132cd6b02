#include "common/stdcall_call.h"

bool CallStdcall(const void* fn, const uintptr_t* args, int count,
                 uint32_t* result)
{
#if defined(__GNUC__) && defined(__i386__)
    uint32_t eax;
    uint32_t ecx = (uint32_t)count;
    uint32_t edi;
    // edi keeps the stack pointer of before the pushes; ecx comes back as
    // the distance between it and the stack pointer after the call.
    __asm__ volatile(
        "movl %%esp, %%edi\n\t"
        "1:\n\t"
        "testl %%ecx, %%ecx\n\t"
        "jz 2f\n\t"
        "pushl -4(%%esi,%%ecx,4)\n\t"
        "decl %%ecx\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "call *%%ebx\n\t"
        "movl %%esp, %%ecx\n\t"
        "subl %%edi, %%ecx\n\t"
        "movl %%edi, %%esp\n\t"
        : "=a"(eax), "+c"(ecx), "=&D"(edi)
        : "b"(fn), "S"(args)
        : "edx", "memory", "cc");
    *result = eax;
    return ecx == 0;
#else
    // x64 and other compilers: typed calls, without the check (on x64,
    // __stdcall is accepted and means the one convention).
    typedef uint32_t (__stdcall* Fn0)(void);
    typedef uint32_t (__stdcall* Fn1)(uintptr_t);
    typedef uint32_t (__stdcall* Fn2)(uintptr_t, uintptr_t);
    typedef uint32_t (__stdcall* Fn3)(uintptr_t, uintptr_t, uintptr_t);
    typedef uint32_t (__stdcall* Fn8)(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                      uintptr_t, uintptr_t, uintptr_t, uintptr_t);
    switch (count) {
    case 0: *result = ((Fn0)fn)(); break;
    case 1: *result = ((Fn1)fn)(args[0]); break;
    case 2: *result = ((Fn2)fn)(args[0], args[1]); break;
    case 3: *result = ((Fn3)fn)(args[0], args[1], args[2]); break;
    case 8: *result = ((Fn8)fn)(args[0], args[1], args[2], args[3], args[4],
                                args[5], args[6], args[7]); break;
    default: return false;
    }
    return true;
#endif
}
