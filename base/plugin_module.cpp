// The module-wide values that every part of the plug-in reads.
#include "plugin_module.h"

HINSTANCE OwnModule = NULL;
CRITICAL_SECTION StateLock;
HANDLE StartStopFree = NULL;

void CreateModuleObjects(HINSTANCE module)
{
    OwnModule = module;
    InitializeCriticalSection(&StateLock);
    StartStopFree = CreateEventA(NULL, FALSE, TRUE, NULL);
}

void DeleteModuleObjects(void)
{
    if (StartStopFree != NULL)
        CloseHandle(StartStopFree);
    StartStopFree = NULL;
    DeleteCriticalSection(&StateLock);
    OwnModule = NULL;
}
