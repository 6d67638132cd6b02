// Text output and text conversion shared by the demo's Windows programs and
// DLLs (host program, guest stand-in, tag library stand-in).
#pragma once

#include <windows.h>

#include <string>

#include "media/media_tags.h"

namespace tools {

// Whether standard output is a console window (not a file or a pipe).
bool StdoutIsConsole(void);

// Writes ANSI text (the system code page) to standard output in one write.
// A console gets it as UTF-16 (WriteConsoleW), so Japanese texts show right
// whatever the console's code page; a file or a pipe gets UTF-8, which is
// what a terminal or a log viewer expects.
void WriteAnsi(const std::string& text);
// The same for text in another code page (932 for Shift-JIS).
void WriteText(const std::string& text, UINT codePage);

// printf into an ANSI string (cut at 1023 bytes).
#if defined(__GNUC__)
std::string Format(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
#else
std::string Format(const char* format, ...);
#endif

// A tag text in the system's ANSI code page. UTF-16 and UTF-8 are converted
// (characters the code page lacks become its default character); legacy
// single-byte texts are already in the writer's code page and stay as they
// are. The text ends at its first NUL.
std::string TagTextToAnsi(const media::TagValue& value);

} // namespace tools
