// What kind of Windows module a file is, from the first bytes of its image:
// enough to tell a user that a file is not a DLL of the host's architecture
// before the loader gives its terse error. Pure byte parsing without
// windows.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace media {

enum class PeKind {
    NotPe,        // no MZ/PE signature, or headers cut off
    Dll32,        // i386 DLL: what a 32-bit host can load
    Dll64,        // x64 DLL: what a 64-bit x64 host can load
    Exe,          // a program, not a DLL
    OtherMachine  // a DLL for a machine other than i386 or x64 (ARM64...)
};

// Classifies the image whose first size bytes are at data (the first 4 KB are
// enough for any real file). machine receives the COFF machine field (0x14C
// i386, 0x8664 x64) when the headers were found.
PeKind ClassifyPeImage(const uint8_t* data, size_t size, uint16_t* machine);

} // namespace media
