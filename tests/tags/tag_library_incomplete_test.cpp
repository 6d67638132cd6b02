// A tag library without mp3infp_GetType is refused like a missing one: the
// start fails, no window is made and no entry point is ever called. A program
// of its own: once any mp3infp.dll has been bound it stays loaded.
#include <gtest/gtest.h>

#include "support/plugin_host.h"
#include "tags/fake_tags_client.h"

using namespace testing_support;

TEST(TagLibraryIncomplete, RefusedAtStartAndNeverCalled)
{
    FakeTagsLibrary tags("tags_incomplete");
    ASSERT_TRUE(tags.Loaded());
    ASSERT_EQ(nullptr, GetProcAddress(tags.Module(), "mp3infp_GetType"));
    tags.SetPlainFile("Z:\\song.mp3", 5, "a", "b", "c");
    TempDir empty;
    ASSERT_TRUE(SetDllDirectoryA(empty.Path().c_str()));
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded());
    EXPECT_EQ(1, plugin.Init());
    EXPECT_EQ(nullptr, FindPlayerWindow());
    EXPECT_EQ(0, tags.CallCount());
    EXPECT_EQ(0, plugin.Quit());
    EXPECT_EQ(0, tags.CallCount());
    EXPECT_EQ(GetFileAttributesA(plugin.TagFile().c_str()),
              INVALID_FILE_ATTRIBUTES);
    SetDllDirectoryA(NULL);
}
