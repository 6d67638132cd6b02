// The tests' one handle on the tag-library stand-in: loads it by full path
// (so a later bare-name LoadLibraryA("mp3infp.dll") finds this very module)
// and wraps its scripting functions.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "doubles/tag_library/fake_tags.h"
#include "support/test_support.h"
#include "tags/tag_logic.h"

class FakeTagsLibrary {
public:
    // variant: "tags" (complete) or "tags_incomplete"; or the full path of
    // a copy of the stand-in.
    explicit FakeTagsLibrary(const std::string& variant = "tags")
    {
        std::string path = variant.find('\\') != std::string::npos
            ? variant : testing_support::DoubleDir(variant) + "/mp3infp.dll";
        module_ = LoadLibraryA(path.c_str());
        if (module_ == NULL)
            return;
        reset_ = (FakeTagsResetFunction)Proc(FAKE_TAGS_RESET);
        setFile_ = (FakeTagsSetFileFunction)Proc(FAKE_TAGS_SET_FILE);
        setValue_ = (FakeTagsSetValueFunction)Proc(FAKE_TAGS_SET_VALUE);
        leave_ = (FakeTagsLeaveUntouchedFunction)Proc(FAKE_TAGS_LEAVE_UNTOUCHED);
        count_ = (FakeTagsCallCountFunction)Proc(FAKE_TAGS_CALL_COUNT);
        getCall_ = (FakeTagsGetCallFunction)Proc(FAKE_TAGS_GET_CALL);
        hold_ = (FakeTagsHoldCreationFunction)Proc(FAKE_TAGS_HOLD_CREATION);
        entries_.load = (TagLoadFunction)Proc("mp3infp_Load");
        entries_.getType = (TagGetTypeFunction)Proc("mp3infp_GetType");
        entries_.getValue = (TagGetValueFunction)Proc("mp3infp_GetValue");
        entries_.setConf = (TagSetConfFunction)Proc("mp3infp_SetConf");
        Reset();
    }
    ~FakeTagsLibrary()
    {
        if (module_ != NULL)
            FreeLibrary(module_);
    }
    FakeTagsLibrary(const FakeTagsLibrary&) = delete;
    FakeTagsLibrary& operator=(const FakeTagsLibrary&) = delete;

    bool Loaded() const { return module_ != NULL && reset_ != NULL; }
    HMODULE Module() const { return module_; }
    // The stand-in's own entry points, for driving ReadTagsFrom directly.
    const TagLibraryEntries& Entries() const { return entries_; }

    void Reset() { if (reset_) reset_(); }
    // Each thread started from now on holds up the making of a window of
    // className for ms (0: no more).
    void HoldCreation(const char* className, DWORD ms) { hold_(className, ms); }
    void SetFile(const std::string& path, DWORD loadResult, DWORD typeCode)
    {
        setFile_(path.c_str(), loadResult, typeCode);
    }
    void SetValue(const std::string& path, const char* name, const char* text)
    {
        setValue_(path.c_str(), name, text);
    }
    // A loadable file of a type with artist/album/title under the plain
    // names of types 5, 7 and 8.
    void SetPlainFile(const std::string& path, DWORD type, const char* artist,
                      const char* album, const char* title)
    {
        SetFile(path, 0, type);
        SetValue(path, "IART", artist);
        SetValue(path, "IPRD", album);
        SetValue(path, "INAM", title);
    }
    // An MP3 file (type 1) with the three ID3v2 texts.
    void SetMp3File(const std::string& path, const std::string& artist,
                    const std::string& album, const std::string& title)
    {
        SetFile(path, 0, 1);
        SetValue(path, "IART_v2", artist.c_str());
        SetValue(path, "IPRD_v2", album.c_str());
        SetValue(path, "INAM_v2", title.c_str());
    }
    void LeaveUntouched(bool leave) { leave_(leave ? 1 : 0); }

    std::vector<std::string> Calls() const
    {
        std::vector<std::string> calls;
        int n = count_();
        for (int i = 0; i < n; ++i) {
            int length = getCall_(i, NULL, 0);
            if (length < 0)
                break;
            std::string call(length + 1, '\0');
            getCall_(i, &call[0], length + 1);
            call.resize(length);
            calls.push_back(call);
        }
        return calls;
    }
    int CallCount() const { return count_(); }

private:
    void* Proc(const char* name)
    {
        return (void*)GetProcAddress(module_, name);
    }
    HMODULE module_ = NULL;
    FakeTagsResetFunction reset_ = NULL;
    FakeTagsSetFileFunction setFile_ = NULL;
    FakeTagsSetValueFunction setValue_ = NULL;
    FakeTagsLeaveUntouchedFunction leave_ = NULL;
    FakeTagsCallCountFunction count_ = NULL;
    FakeTagsGetCallFunction getCall_ = NULL;
    FakeTagsHoldCreationFunction hold_ = NULL;
    TagLibraryEntries entries_ = {NULL, NULL, NULL, NULL};
};

// The calls that open every read of path that gets past the load.
inline std::vector<std::string> ReadPrologue(const std::string& path)
{
    return {"Load(" + path + ")", "SetConf(wave_CodecFind,0)", "GetType"};
}

// The complete stand-in, loaded once for the whole program: the plug-in
// never frees the tag library, so the tests keep it too.
inline FakeTagsLibrary& Tags()
{
    static FakeTagsLibrary library;
    return library;
}
