// Waits that a thread owning windows can afford.
#include "message_wait.h"

DWORD WaitAnsweringSentMessagesEx(DWORD count, const HANDLE* handles,
                                  DWORD timeoutMs, DWORD flags)
{
    // count >= 1: the time-out's last look below needs a handle.
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        // Handles the sent messages already pending; takes nothing posted.
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD elapsed = GetTickCount() - start;
        if (timeoutMs != INFINITE && elapsed >= timeoutMs)
            return WaitForMultipleObjects(count, handles, FALSE, 0);
        // MWMO_INPUTAVAILABLE: a message sent before the wait, that code on
        // this thread (a guest's subclass, say) has already seen in the
        // queue status, must end the wait too; a plain wait wakes only for
        // messages that came after the last look at the queue.
        DWORD r = MsgWaitForMultipleObjectsEx(
            count, handles,
            timeoutMs == INFINITE ? INFINITE : timeoutMs - elapsed,
            QS_SENDMESSAGE, MWMO_INPUTAVAILABLE | flags);
        if (r != WAIT_OBJECT_0 + count)
            return r;
    }
}

DWORD WaitAnsweringSentMessages(DWORD count, const HANDLE* handles,
                                DWORD timeoutMs)
{
    return WaitAnsweringSentMessagesEx(count, handles, timeoutMs, 0);
}

DWORD TimeLeft(DWORD start, DWORD boundMs)
{
    DWORD elapsed = GetTickCount() - start;
    return elapsed < boundMs ? boundMs - elapsed : 0;
}
