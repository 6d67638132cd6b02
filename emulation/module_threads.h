// The search for threads that may still run the code of a DLL that someone
// else wrote (the guest), so that it is freed only once none can.
#pragma once

#include "message_wait.h"

// Waits, answering sent messages, until no other thread of the process may
// still run code of module, loaded at loadedAt (system time): none started in
// its code, is executing it, would return into it from its stack, or is
// about to begin a routine that a runtime will call it from. Only threads that could have come to run
// its code are looked at: those created since it was loaded, and the system's
// pool threads, which run anybody's callbacks. Each is suspended for one short
// look at a time, and only those found in the code are looked at again while
// waiting. TRUE once a look at all of them found none; FALSE when timeoutMs
// ran out (0: one look only) or the threads could not be listed.
BOOL WaitUntilNoThreadRunsIn(HMODULE module, const FILETIME& loadedAt,
                             DWORD timeoutMs);

// --- Rules, free of threads and windows --------------------------------------

// Whether one of count pointer-sized words lies in [begin, end).
bool AnyWordInRange(const ULONG_PTR* words, SIZE_T count, ULONG_PTR begin,
                    ULONG_PTR end);

// Whether the n bytes before a code address end an x86 or x64 call
// instruction (E8 rel32, or FF /2 in any of its addressing forms), as they
// do before every return address. A pointer to a function's first byte, such
// as a callback that a pool thread ran and still has lying on its stack,
// follows the end of another function instead.
bool EndsWithCall(const unsigned char* before, SIZE_T n);
