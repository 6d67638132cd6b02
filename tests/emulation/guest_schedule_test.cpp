// Which import-table module names the plug-in routes the guest's calls from.
#include <gtest/gtest.h>

#include "containment/guest_schedule.h"

namespace {

struct NameCase {
    const char* fileName;
    ImportModuleKind kind;
};

const NameCase NameCases[] = {
    {"KERNEL32.dll", SystemModule},
    {"kernelbase.dll", SystemModule},
    {"USER32.DLL", SystemModule},
    {"api-ms-win-core-synch-l1-2-0.dll", SystemModule},
    {"api-ms-win-core-threadpool-l1-2-0.dll", SystemModule},
    {"msvcrt.dll", RuntimeModule},
    {"MSVCR71.dll", RuntimeModule},
    {"ucrtbase.dll", RuntimeModule},
    {"ucrtbased.dll", RuntimeModule},
    {"ext-ms-win-ntuser-window-l1-1-0.dll", SystemModule},
    {"API-MS-WIN-CRT-RUNTIME-L1-1-0.DLL", RuntimeModule},
    {"msvcp140.dll", OtherModule},
    {"vcruntime140.dll", OtherModule},
    {"kernel32x.dll", OtherModule},
    {"gen_tebo_for_winamp.dll", OtherModule},
};

TEST(GuestSchedule, ImportModuleNamesAreToldApartInAnyCase)
{
    for (const NameCase& c : NameCases)
        EXPECT_EQ(c.kind, ImportModuleKindOf(c.fileName)) << c.fileName;
}

} // namespace
