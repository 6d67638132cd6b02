// Waits that a thread owning windows can afford, and the search for threads
// that may still run the code of a DLL that someone else wrote (the guest),
// so that it is freed only once none can.
#pragma once

#include <windows.h>

// Waits up to timeoutMs for one of count handles (at most
// MAXIMUM_WAIT_OBJECTS - 1), handling meanwhile the messages that other
// threads send to this thread's windows; posted messages stay queued. A
// thread that another one may be waiting for in SendMessage must never block
// without answering. Returns WAIT_OBJECT_0 + i for a signalled handle, else
// WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitAnsweringSentMessages(DWORD count, const HANDLE* handles,
                                DWORD timeoutMs);

// Waits, answering sent messages, until no other thread of the process may
// still run code of module: none started in its image, is executing there,
// holds an address in it in a register, or would return into it from its
// stack. Each thread is suspended for one short look at a time, and only
// the threads found in the image are looked at again while waiting. TRUE
// once a look at every thread found none; FALSE when timeoutMs ran out (0:
// one look only) or the threads could not be looked at.
BOOL WaitUntilNoThreadRunsIn(HMODULE module, DWORD timeoutMs);

// --- Rules, free of threads and windows --------------------------------------

// Whether one of count pointer-sized words lies in [begin, end).
bool AnyWordInRange(const ULONG_PTR* words, SIZE_T count, ULONG_PTR begin,
                    ULONG_PTR end);
