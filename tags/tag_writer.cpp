#include "tag_bridge.h"

#include "../base/plugin_module.h"
#include "../state/playback_state.h"

char TagFilePath[MAX_PATH] = {0};

void MakeTagFilePath(char* out, const char* modulePath, DWORD n)
{
    // GetModuleFileNameA answers 0 on failure and the full buffer size when it
    // had to cut the path; neither names our own file.
    if (n < 3 || n >= MAX_PATH) {
        out[0] = '\0';
        return;
    }
    CopyMemory(out, modulePath, n);
    out[n - 3] = 'm';
    out[n - 2] = 'p';
    out[n - 1] = '3';
    out[n] = '\0';
}

void DeriveTagFilePath(void)
{
    char modulePath[MAX_PATH] = {0};
    DWORD n = GetModuleFileNameA(OwnModule, modulePath, MAX_PATH);
    MakeTagFilePath(TagFilePath, modulePath, n);
}

const char* WriteTagFile(const char* path)
{
    // The current path may be rewritten by a host thread at any moment; work
    // on a whole copy.
    char currentPath[PathCapacity];
    CopyCurrentPath(currentPath);

    TagRecord record;
    ZeroMemory(&record, sizeof(record));
    if (ReadTags(&record, currentPath) != 0)
        return NULL;

    unsigned char image[TagImageCapacity];
    ZeroMemory(image, sizeof(image));
    DWORD length = (DWORD)BuildTagImage(image, &record);

    // Share mode 0: nobody opens the file while it is being rewritten.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    DWORD written = 0;
    BOOL ok = WriteFile(file, image, length, &written, NULL);
    CloseHandle(file);
    // A broken file must never be named as holding the tags.
    if (!ok || written != length)
        return NULL;
    return path;
}
