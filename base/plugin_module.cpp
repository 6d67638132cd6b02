// The module-wide values that every part of the plug-in reads.
#include "plugin_module.h"

HINSTANCE OwnModule = NULL;
CRITICAL_SECTION StateLock;

void CreateModuleObjects(HINSTANCE module)
{
    OwnModule = module;
    InitializeCriticalSection(&StateLock);
}

void DeleteModuleObjects(void)
{
    DeleteCriticalSection(&StateLock);
    OwnModule = NULL;
}
