// With no mp3infp.dll to be found, the start fails and no window is made.
// A program of its own: once any mp3infp.dll has been bound it stays loaded.
#include <gtest/gtest.h>

#include "support/plugin_host.h"

using namespace testing_support;

TEST(TagLibraryAbsent, StartFailsWithoutWindow)
{
    ASSERT_EQ(nullptr, GetModuleHandleA("mp3infp.dll"));
    TempDir empty;
    ASSERT_TRUE(SetDllDirectoryA(empty.Path().c_str()));
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.Loaded());
    EXPECT_EQ(1, plugin.Init());
    EXPECT_EQ(nullptr, FindPlayerWindow());
    EXPECT_EQ(1, plugin.Init());   // every start tries again, and fails again
    EXPECT_EQ(nullptr, FindPlayerWindow());
    EXPECT_EQ(nullptr, GetModuleHandleA("mp3infp.dll"));
    EXPECT_EQ(0, plugin.Quit());
    SetDllDirectoryA(NULL);
}
