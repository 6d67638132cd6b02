// Scripting interface of the tag-library stand-in (mp3infp.dll variants).
// Besides the four mp3infp entry points, the stand-in exports these cdecl
// functions; a test loads the stand-in by its full path first (a bare-name
// LoadLibraryA then finds the loaded module), takes them with GetProcAddress
// and scripts per path: the load result, the type code and the text (or null)
// under each value name. Every call of the four entry points is recorded in
// order. All functions are safe to call from any thread.
#pragma once

#include <windows.h>

extern "C" {
// Forgets every script and the call log; missing names yield null.
typedef void (*FakeTagsResetFunction)(void);
// loadResult: what mp3infp_Load answers for path (0 = loaded); typeCode: what
// mp3infp_GetType answers after that load. Unscripted paths answer 1 (refused).
typedef void (*FakeTagsSetFileFunction)(const char* path, DWORD loadResult,
                                        DWORD typeCode);
// The text that mp3infp_GetValue gives for name after path was loaded; text
// null scripts a null pointer.
typedef void (*FakeTagsSetValueFunction)(const char* path, const char* name,
                                         const char* text);
// leave != 0: for a name without a script, mp3infp_GetValue leaves the
// caller's pointer untouched instead of setting it to null.
typedef void (*FakeTagsLeaveUntouchedFunction)(int leave);
// Number of recorded calls, and call i as text:
//   "Load(<path>)" (also "Load(<path>,hwnd=<n>)" when the window is not
//   null), "SetConf(<name>,<value>)", "GetType", "GetValue(<name>)".
typedef int (*FakeTagsCallCountFunction)(void);
typedef int (*FakeTagsGetCallFunction)(int index, char* buffer, int size);
// ms != 0: each thread started from now on holds up the making of a window
// of className for ms, by a CBT hook of its own, as a host's hook could; 0
// ends it.
typedef void (*FakeTagsHoldCreationFunction)(const char* className, DWORD ms);
}

#define FAKE_TAGS_RESET "FakeTags_Reset"
#define FAKE_TAGS_SET_FILE "FakeTags_SetFile"
#define FAKE_TAGS_SET_VALUE "FakeTags_SetValue"
#define FAKE_TAGS_LEAVE_UNTOUCHED "FakeTags_LeaveUntouched"
#define FAKE_TAGS_CALL_COUNT "FakeTags_CallCount"
#define FAKE_TAGS_GET_CALL "FakeTags_GetCall"
#define FAKE_TAGS_HOLD_CREATION "FakeTags_HoldCreation"
