// Calls a plug-in entry the way the host does, and checks its calling
// convention: used by the host program and by the tests.
#pragma once

#include <stdint.h>

// Calls fn with count pointer-sized arguments and stores the 32-bit value it
// returns in *result.
// 32-bit x86 (GCC): the arguments are pushed right to left, as a stdcall
// caller does. False when the stack pointer afterwards differs from before
// (the entry is not stdcall: a cdecl entry leaves its arguments behind); the
// caller's stack is put right either way.
// x64 has one calling convention, which the caller cleans up: the call is a
// typed call and always reports a balanced stack. So do other compilers for
// x86, which make typed calls without the check. Typed calls take 0 to 3 and
// 8 arguments.
bool CallStdcall(const void* fn, const uintptr_t* args, int count,
                 uint32_t* result);
