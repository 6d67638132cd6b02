// Calls a plug-in entry the way the host does, and checks its calling
// convention: used by the host program and by the tests.
#pragma once

#include <stdint.h>

// Calls fn with count 32-bit arguments pushed right to left, as a stdcall
// caller does. False when the stack pointer afterwards differs from before
// (the entry is not stdcall: a cdecl entry leaves its arguments behind); the
// caller's stack is put right either way. Built by other compilers than GCC
// for x86, it makes typed calls without the check (0 to 3 and 8 arguments).
bool CallStdcall(const void* fn, const uint32_t* args, int count,
                 uint32_t* result);
