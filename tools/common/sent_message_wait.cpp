#include "common/sent_message_wait.h"

namespace tools {

BOOL WaitAnsweringSentMessages(HANDLE handle, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        // Handles the sent messages already pending; takes nothing posted.
        PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        DWORD r = MsgWaitForMultipleObjectsEx(1, &handle, timeoutMs - elapsed,
                                              QS_SENDMESSAGE,
                                              MWMO_INPUTAVAILABLE);
        if (r != WAIT_OBJECT_0 + 1)
            return r == WAIT_OBJECT_0;
    }
}

} // namespace tools
