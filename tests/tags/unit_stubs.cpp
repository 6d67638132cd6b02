// What the tag writer takes from the rest of the plug-in, for the unit-test
// program that links the tag bridge alone.
#include <windows.h>

#include <string.h>

#include "plugin/plugin_descriptor.h"
#include "state/playback_state.h"

HINSTANCE OwnModule = NULL;

void CopyCurrentPath(char* out)
{
    memset(out, 0, PathCapacity);
}
