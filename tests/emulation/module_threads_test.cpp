// The rule that tells a return address from any other pointer into code: the
// bytes before it end a call instruction.
#include <gtest/gtest.h>

#include <vector>

#include "emulation/module_threads.h"

namespace {

struct CallCase {
    const char* what;
    std::vector<unsigned char> before;   // the bytes just before the address
    bool endsWithCall;
};

const CallCase CallCases[] = {
    {"call rel32", {0x90, 0x90, 0xE8, 0x10, 0x20, 0x30, 0x40}, true},
    {"call [rip+disp32] / [disp32]", {0x90, 0xFF, 0x15, 1, 2, 3, 4}, true},
    {"call eax", {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0xD0}, true},
    {"call r11 (REX.B)", {0x90, 0x90, 0x90, 0x90, 0x41, 0xFF, 0xD3}, true},
    {"call [eax]", {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x10}, true},
    {"call [ebx+disp8]", {0x90, 0x90, 0x90, 0x90, 0xFF, 0x53, 0x08}, true},
    {"call [esp+disp8] (SIB)", {0x90, 0x90, 0x90, 0xFF, 0x54, 0x24, 0x08}, true},
    {"call [esi+disp32]", {0x90, 0xFF, 0x96, 1, 2, 3, 4}, true},
    {"call [esp+disp32] (SIB)", {0xFF, 0x94, 0x24, 1, 2, 3, 4}, true},
    {"call [disp32+ecx*4] (SIB, no base)", {0xFF, 0x14, 0x8D, 1, 2, 3, 4}, true},
    // A function's first byte: after padding or another function's return.
    {"after int3 padding", {0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC}, false},
    {"after ret", {0x5D, 0x5B, 0x5E, 0x5F, 0x90, 0x90, 0xC3}, false},
    {"after jmp eax (FF /4)", {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0xE0}, false},
    {"after jmp [disp32] (FF /4)", {0x90, 0xFF, 0x25, 1, 2, 3, 4}, false},
    {"FF /2 whose length does not end here", {0x90, 0x90, 0x90, 0xFF, 0x15, 1, 2}, false},
};

TEST(ReturnAddresses, OnlyTheEndOfACallInstructionCounts)
{
    for (const CallCase& c : CallCases) {
        EXPECT_EQ(c.endsWithCall, EndsWithCall(c.before.data(), c.before.size()))
            << c.what;
    }
}

} // namespace
