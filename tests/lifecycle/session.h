// A host session with chosen stand-ins: the tag-library stand-in preloaded
// (or none at all), a guest variant found by bare name through the DLL
// directory, and the guest's control record published to it.
#pragma once

#include <windows.h>

#include <string>

#include "doubles/guest/guest_double.h"
#include "doubles/tag_library/fake_tags.h"
#include "support/plugin_host.h"

namespace lifecycle {

// The tag stand-in's scripting functions (loaded once per process: the
// plug-in never frees the library, so neither do we).
struct FakeTags {
    FakeTagsResetFunction reset;
    FakeTagsSetFileFunction setFile;
    FakeTagsSetValueFunction setValue;
    bool Load();
    // Scripts a type-1 file with the three _v2 texts.
    void ScriptMp3(const std::string& path, const std::string& artist,
                   const std::string& album, const std::string& title);
};

// Points the bare-name search at a guest variant's folder and publishes
// control to it; undoes both on destruction.
class GuestSetup {
public:
    GuestSetup(const std::string& variant, GuestDoubleControl* control);
    ~GuestSetup();
};

// Texts of the three text frames of a tag file (empty when not found).
struct TagTexts {
    std::string artist, title, album;
    bool valid = false;
};
TagTexts ParseTagFile(const std::string& bytes);

// Process-wide resource measures that work under Wine as on Windows.
int CountOpenHandles();
int CountThreads();
SIZE_T CommittedPrivateBytes();

} // namespace lifecycle
