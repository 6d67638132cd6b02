#include "console_text.h"

#include <stdarg.h>
#include <stdio.h>

#include <vector>

namespace tools {

namespace {

std::wstring Widen(UINT codePage, const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(),
                                NULL, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring wide((size_t)n, L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), &wide[0], n);
    return wide;
}

std::string Narrow(UINT codePage, const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    int n = WideCharToMultiByte(codePage, 0, wide.data(), (int)wide.size(),
                                NULL, 0, NULL, NULL);
    if (n <= 0)
        return std::string();
    std::string text((size_t)n, '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), (int)wide.size(), &text[0], n,
                        NULL, NULL);
    return text;
}

std::string UpToNul(const std::string& text)
{
    size_t nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
}

} // namespace

bool StdoutIsConsole(void)
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void WriteAnsi(const std::string& text)
{
    WriteText(text, CP_ACP);
}

void WriteText(const std::string& text, UINT codePage)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == NULL || out == INVALID_HANDLE_VALUE || text.empty())
        return;
    std::wstring wide = Widen(codePage, text);
    DWORD written = 0;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, wide.data(), (DWORD)wide.size(), &written, NULL);
        return;
    }
    std::string utf8 = Narrow(CP_UTF8, wide);
    WriteFile(out, utf8.data(), (DWORD)utf8.size(), &written, NULL);
}

std::string Format(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    return buffer;
}

std::string TagTextToAnsi(const media::TagValue& value)
{
    const std::string& bytes = value.bytes;
    switch (value.encoding) {
    case media::TextEncoding::Legacy:
        return UpToNul(bytes);
    case media::TextEncoding::Utf8:
        return UpToNul(Narrow(CP_ACP, Widen(CP_UTF8, bytes)));
    case media::TextEncoding::Utf16Le:
    case media::TextEncoding::Utf16Be: {
        std::wstring wide;
        const bool big = value.encoding == media::TextEncoding::Utf16Be;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const unsigned char a = (unsigned char)bytes[i];
            const unsigned char b = (unsigned char)bytes[i + 1];
            wide.push_back((wchar_t)(big ? (a << 8) | b : (b << 8) | a));
        }
        return UpToNul(Narrow(CP_ACP, wide));
    }
    }
    return std::string();
}

} // namespace tools
