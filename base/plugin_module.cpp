// The module-wide values that every part of the plug-in reads.
#include "plugin_module.h"

HINSTANCE OwnModule = NULL;
CRITICAL_SECTION StateLock;
CRITICAL_SECTION StartStopLock;

void CreateModuleObjects(HINSTANCE module)
{
    OwnModule = module;
    InitializeCriticalSection(&StateLock);
    InitializeCriticalSection(&StartStopLock);
}

void DeleteModuleObjects(void)
{
    DeleteCriticalSection(&StartStopLock);
    DeleteCriticalSection(&StateLock);
    OwnModule = NULL;
}
