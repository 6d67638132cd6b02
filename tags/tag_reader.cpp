#include "tag_bridge.h"

#include "../base/plugin_module.h"

TagLibraryBinding TagLibrary = {NULL, {NULL, NULL, NULL, NULL}};

BOOL BindTagLibrary(void)
{
    // mp3infp.dll is never freed, so a binding that exists is still good;
    // binding again would only raise the library's load count.
    if (TagLibrary.module != NULL)
        return TRUE;

    HMODULE module = LoadPluginLibrary("mp3infp.dll");
    if (module == NULL)
        return FALSE;

    TagLibraryEntries entries;
    entries.load = (TagLoadFunction)(void*)GetProcAddress(module, "mp3infp_Load");
    entries.getType =
        (TagGetTypeFunction)(void*)GetProcAddress(module, "mp3infp_GetType");
    entries.getValue =
        (TagGetValueFunction)(void*)GetProcAddress(module, "mp3infp_GetValue");
    entries.setConf =
        (TagSetConfFunction)(void*)GetProcAddress(module, "mp3infp_SetConf");

    // All or nothing: a library without one of the four is no library.
    if (entries.load == NULL || entries.getType == NULL ||
        entries.getValue == NULL || entries.setConf == NULL) {
        TracePluginLibrary("mp3infp.dll",
                           "not used (an entry point is missing, error %lu)",
                           GetLastError());
        FreeLibrary(module);
        return FALSE;
    }
    TagLibrary.entries = entries;
    TagLibrary.module = module;
    return TRUE;
}

int ReadTags(TagRecord* record, const char* path)
{
    if (TagLibrary.module == NULL)
        return -1;
    return ReadTagsFrom(&TagLibrary.entries, record, path);
}
