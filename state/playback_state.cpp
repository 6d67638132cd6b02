// PlaybackState and the host's track notifications.
#include "playback_state.h"

#include "../base/plugin_module.h"

PlaybackState Playback = {
    0, 0, {0}, PlayStateStopped, 0, 0, NULL, -1, -1, 0, 0
};

CRITICAL_SECTION PathLock;

namespace {

// The title of the last accepted track start, for a window that did not exist
// yet when it came. Under PathLock; cleared by ActivateState.
char TrackTitle[TitleCapacity];
bool TrackTitleSet = false;

// When (GetTickCount, made odd so never 0) the track start that sent
// ShowTitleMessage sent it; 0 once the window thread has handled one (and as
// it makes a new window). While a request is on its way it shows the latest
// title, so later track starts do not wait for the window thread again; one
// older than TitleWaitMs may have been taken off the queue unhandled (a
// guest's own PeekMessage loop), so a later track start posts another.
// Interlocked.
volatile LONG TitleRequestedAt = 0;

// How long a track start waits for a busy window thread to take its title.
const UINT TitleWaitMs = 400;

// A track start's part in asking the window thread for the title, once it
// has stored it: 0, a request on its way will show it; 1, send one; 2, post
// one, without waiting again for a window thread that has not handled the
// last in time. Under StateLock, so no other track start races; the window
// thread only clears the time.
int NewTitleRequest(void)
{
    LONG now = (LONG)(GetTickCount() | 1);
    LONG last = TitleRequestedAt;
    if (last != 0 && (DWORD)(now - last) < TitleWaitMs)
        return 0;
    InterlockedExchange(&TitleRequestedAt, now);
    return last == 0 ? 1 : 2;
}

// Length of a path if it fits the current-path buffer, else -1. Never reads
// more than PathCapacity bytes of the host's string.
int FittingPathLength(const char* path)
{
    if (path == NULL)
        return 0;
    for (int n = 0; n < PathCapacity; ++n) {
        if (path[n] == '\0')
            return n;
    }
    return -1;
}

// Clears the track fields in the order position, length, play state, path,
// track.
void ClearTrackFields(PlaybackState* state)
{
    state->position = 0;
    state->length = 0;
    state->playState = PlayStateStopped;
    ZeroMemory(state->currentPath, sizeof(state->currentPath));
    state->currentTrack = 0;
}

} // namespace

void ApplyTrackStart(PlaybackState* state, TrackId track, const char* path,
                     LONG lengthMs)
{
    if (track != state->currentTrack) {
        state->currentTrack = track;
        // A path that does not fit is not cut: a shortened path could name
        // another file. The track stays current with no path, so file
        // queries answer null for it.
        ZeroMemory(state->currentPath, sizeof(state->currentPath));
        int n = FittingPathLength(path);
        if (n > 0)
            CopyMemory(state->currentPath, path, n);
    }
    state->playState = PlayStatePlaying;
    state->length = lengthMs;
}

int ApplyProgress(PlaybackState* state, TrackId track, LONG positionMs,
                  LONG progressValue)
{
    int result = -1;
    if (track == state->currentTrack) {
        // The host reports no pause: two equal reports in a row mean paused.
        // Each latch lets its rule write the play state once until the other
        // rule has written it.
        if (positionMs == state->lastProgressPosition &&
            progressValue == state->lastProgressValue) {
            if (!state->pausedReported) {
                state->playState = PlayStatePaused;
                state->pausedReported = 1;
                state->playingReported = 0;
            }
        } else if (!state->playingReported) {
            state->playState = PlayStatePlaying;
            state->playingReported = 1;
            state->pausedReported = 0;
        }
        result = 0;
    }
    state->lastProgressPosition = positionMs;
    state->lastProgressValue = progressValue;
    state->position = positionMs;
    return result;
}

int FormatTrackTitle(char* title, const char* path, LONG lengthMs)
{
    // path holds at most 259 characters, so the title fits its 512 bytes.
    return wsprintfA(title, "%s - %d - Winamp", path, (int)lengthMs);
}

void CreatePlaybackObjects(void)
{
    InitializeCriticalSection(&PathLock);
}

void DeletePlaybackObjects(void)
{
    DeleteCriticalSection(&PathLock);
}

void ActivateState(void)
{
    EnterCriticalSection(&PathLock);
    Playback.active = 1;
    ClearTrackFields(&Playback);
    TrackTitleSet = false;
    LeaveCriticalSection(&PathLock);
}

void DeactivateState(void)
{
    Playback.active = 0;
}

void ResetTrack(void)
{
    EnterCriticalSection(&PathLock);
    Playback.currentTrack = 0;
    ZeroMemory(Playback.currentPath, sizeof(Playback.currentPath));
    LeaveCriticalSection(&PathLock);
    Playback.position = 0;
    Playback.length = 0;
    Playback.playState = PlayStateStopped;
}

void CopyCurrentPath(char* out)
{
    EnterCriticalSection(&PathLock);
    CopyMemory(out, Playback.currentPath, PathCapacity);
    LeaveCriticalSection(&PathLock);
}

BOOL CopyTrackTitle(char* out)
{
    EnterCriticalSection(&PathLock);
    bool set = TrackTitleSet;
    if (set)
        CopyMemory(out, TrackTitle, TitleCapacity);
    LeaveCriticalSection(&PathLock);
    return set;
}

void ShowLatestTitle(HWND window)
{
    InterlockedExchange(&TitleRequestedAt, 0);
    char title[TitleCapacity];
    if (CopyTrackTitle(title))
        SetWindowTextA(window, title);
}

int WINAPI OnTrackStart(TrackId track, const char* path, DWORD, DWORD, DWORD,
                        DWORD, LONG lengthMs, DWORD)
{
    int result = -1;
    HWND window = NULL;
    int request = 0;

    EnterCriticalSection(&StateLock);
    if (Playback.active) {
        EnterCriticalSection(&PathLock);
        ApplyTrackStart(&Playback, track, path, lengthMs);
        FormatTrackTitle(TrackTitle, Playback.currentPath, lengthMs);
        TrackTitleSet = true;
        LeaveCriticalSection(&PathLock);
        // No window yet: it takes the title when it is made.
        window = Playback.window;
        if (window != NULL)
            request = NewTitleRequest();
        result = 0;
    }
    LeaveCriticalSection(&StateLock);

    // The window thread sets the title while this waits, so the guest can
    // read it once the track start has returned; a window thread kept busy
    // by the guest costs at most TitleWaitMs, and no lock is held meanwhile.
    // A send that timed out may be dropped (Wine) or delivered later
    // (Windows): the posted request reaches the thread either way.
    if (request == 2 ||
        (request == 1 &&
         !SendMessageTimeoutA(window, ShowTitleMessage, 0, 0, SMTO_NORMAL,
                              TitleWaitMs, NULL)))
        PostMessageA(window, ShowTitleMessage, 0, 0);
    return result;
}

int WINAPI OnTrackStop(TrackId track)
{
    // Takes StateLock so that it cannot interleave with OnTrackStart or
    // OnProgress on another host thread; it never waits for the window
    // thread, so holding the lock here cannot deadlock.
    EnterCriticalSection(&StateLock);
    if (track == Playback.currentTrack)
        ResetTrack();
    LeaveCriticalSection(&StateLock);
    return 0;
}

int WINAPI OnProgress(TrackId track, LONG positionMs, LONG progressValue)
{
    int result = -1;
    EnterCriticalSection(&StateLock);
    if (Playback.active) {
        result = ApplyProgress(&Playback, track, positionMs, progressValue);
    } else {
        // A refused call still records the pair (not the position).
        Playback.lastProgressPosition = positionMs;
        Playback.lastProgressValue = progressValue;
    }
    LeaveCriticalSection(&StateLock);
    return result;
}
