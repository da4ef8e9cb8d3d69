#include "support/kept_text.h"

#include "common/log.h"

#include <windows.h>

#include <cstdarg>

namespace testsupport {
namespace {

std::wstring formatted(const wchar_t* format, va_list args)
{
    wchar_t buffer[4096];
    common::formatMessage(buffer, sizeof buffer / sizeof buffer[0], format, args);
    return buffer;
}

std::string utf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
    return bytes;
}

}  // namespace

std::wstring keptText(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = formatted(format, args);
    va_end(args);
    return text;
}

std::string keptBytes(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::wstring text = formatted(format, args);
    va_end(args);
    return utf8(text);
}

std::string keptPrefix(const wchar_t* format)
{
    const std::wstring text = format;
    return utf8(text.substr(0, text.find(L'%')));
}

}  // namespace testsupport
