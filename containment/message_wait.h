// Waits that a thread owning windows can afford: other threads may be
// waiting for it inside SendMessage.
#pragma once

#include <windows.h>

// Waits up to timeoutMs (INFINITE: without end) for one of count handles (1
// to MAXIMUM_WAIT_OBJECTS - 1), handling meanwhile the messages that other
// threads send to this thread's windows; posted messages stay queued. A
// thread that another one may be waiting for in SendMessage must never block
// without answering. flags: 0, or MWMO_ALERTABLE to run queued APCs too.
// Returns WAIT_OBJECT_0 + i for a signalled handle (WAIT_ABANDONED_0 + i for
// an abandoned mutex), else WAIT_TIMEOUT, WAIT_IO_COMPLETION or WAIT_FAILED.
DWORD WaitAnsweringSentMessagesEx(DWORD count, const HANDLE* handles,
                                  DWORD timeoutMs, DWORD flags);

// The same, not alertable.
DWORD WaitAnsweringSentMessages(DWORD count, const HANDLE* handles,
                                DWORD timeoutMs);

// The time left of a bound of boundMs that began at start (GetTickCount).
DWORD TimeLeft(DWORD start, DWORD boundMs);
