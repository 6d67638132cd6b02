// The wait of a thread that owns windows, for the stand-ins and the tests:
// while it waits, the messages that other threads send to its windows are
// handled, so that a thread it waits for can never be stuck in a SendMessage
// to it. (The plug-in keeps its own.)
#pragma once

#include <windows.h>

namespace tools {

// Waits up to timeoutMs for handle, handling meanwhile the messages sent to
// this thread; posted messages stay queued. A message sent before the wait
// that code on this thread has already seen in the queue status ends the
// wait too (MWMO_INPUTAVAILABLE). TRUE when the handle was signalled.
BOOL WaitAnsweringSentMessages(HANDLE handle, DWORD timeoutMs);

} // namespace tools
