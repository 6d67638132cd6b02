// The one shared record of what the host is playing, kept by the host's track
// notifications and read by the emulated player window.
#pragma once

#include <windows.h>

// The host's name for a track; only compared for equality. 0 means none.
typedef DWORD TrackId;

// Play-state code as the guest reads it.
typedef short PlayState;
enum {
    PlayStateStopped = 0,
    PlayStatePlaying = 1,
    PlayStatePaused = 3
};

enum {
    PathCapacity = 260,     // Windows path limit: 259 characters and the NUL
    TitleCapacity = 512
};

struct PlaybackState {
    // Set by PluginInit, cleared by PluginQuit, both under StateLock.
    LONG active;
    // Written by OnTrackStart, ResetTrack (OnTrackStop) and ActivateState
    // (PluginInit), all under StateLock and PathLock; read by the window
    // thread under PathLock only (CopyCurrentPath).
    TrackId currentTrack;
    char currentPath[PathCapacity];
    // Written by the host-thread entries under StateLock; the window thread
    // reads each as one aligned access without a lock.
    PlayState playState;
    LONG position;          // milliseconds, as last reported by OnProgress
    LONG length;            // milliseconds, as reported at track start
    // EmulatedPlayerWindow: stored by the window thread once the window exists
    // and the guest has started, forgotten when the window is destroyed.
    // Read by OnTrackStart (title) and by the window thread's start and stop
    // (PluginInit, PluginQuit).
    HWND volatile window;
    // Pause detection, written only by OnProgress under StateLock. They carry
    // over from track to track and from one start to the next.
    LONG lastProgressPosition;
    LONG lastProgressValue;
    BYTE pausedReported;
    BYTE playingReported;
};

// The instance, one per process.
extern PlaybackState Playback;

// Guards currentPath and currentTrack (and the title of the last track start)
// alone. Held only for a copy, never while waiting for anything, so the window
// thread may take it.
extern CRITICAL_SECTION PathLock;

// Called by the DLL entry at the first call and at the last detach.
void CreatePlaybackObjects(void);
void DeletePlaybackObjects(void);

// Entries 3 to 5 of the descriptor.
int WINAPI OnTrackStart(TrackId track, const char* path, DWORD unused1,
                        DWORD unused2, DWORD unused3, DWORD unused4,
                        LONG lengthMs, DWORD unused5);
int WINAPI OnTrackStop(TrackId track);
int WINAPI OnProgress(TrackId track, LONG positionMs, LONG progressValue);

// Caller holds StateLock.
void ActivateState(void);
void DeactivateState(void);
// Forgets the current track. Caller holds StateLock.
void ResetTrack(void);

// Copies the current path into a caller's PathCapacity buffer, whole: never
// half old and half new while a host thread rewrites it. Takes PathLock only.
void CopyCurrentPath(char* out);

// Copies the title that the last accepted track start gave the window into a
// caller's TitleCapacity buffer. FALSE, with out untouched, when no track
// start has been accepted since the plug-in was started. Takes PathLock only.
BOOL CopyTrackTitle(char* out);

// OnTrackStart has the window thread take the title by sending it this
// message (posting it, when the send timed out), which carries no pointer:
// whenever it arrives, it shows the latest track's title.
enum { ShowTitleMessage = WM_APP + 1 };

// Window thread: gives the window the title of the last accepted track
// start, if any, and lets the next track start ask again.
void ShowLatestTitle(HWND window);

// --- State rules, free of locks and windows -------------------------------

// Stores a track start: a new TrackId takes the path (an unusable path, null
// or longer than 259 characters, is stored as empty); the same TrackId keeps
// the stored path. Sets playing and the length; the position stays.
void ApplyTrackStart(PlaybackState* state, TrackId track, const char* path,
                     LONG lengthMs);

// Pause detection for an accepted OnProgress call. Returns 0 when the track is
// the current one, else -1. Always records the pair and the position.
int ApplyProgress(PlaybackState* state, TrackId track, LONG positionMs,
                  LONG progressValue);

// "path - length - Winamp" into a TitleCapacity buffer; returns its length.
int FormatTrackTitle(char* title, const char* path, LONG lengthMs);
