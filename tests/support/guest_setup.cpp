#include "support/guest_setup.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>

namespace testing_support {

GuestSetup::GuestSetup(const std::string& variant, GuestDoubleControl* control)
{
    Use(variant);
    char address[32];
    sprintf(address, "%p", (void*)control);
    SetEnvironmentVariableA(GUEST_DOUBLE_CONTROL_ENV, address);
}

GuestSetup::~GuestSetup()
{
    SetDllDirectoryA(NULL);
    SetEnvironmentVariableA(GUEST_DOUBLE_CONTROL_ENV, NULL);
}

void GuestSetup::Use(const std::string& variant)
{
    std::string dir = variant.empty() ? empty_.Path() : DoubleDir(variant);
    std::replace(dir.begin(), dir.end(), '/', '\\');
    EXPECT_TRUE(SetDllDirectoryA(dir.c_str())) << dir;
}

} // namespace testing_support
