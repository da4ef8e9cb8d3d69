#pragma once

// A kept log text (common/kept_texts.h) as the log gives it, for tests that
// look for the system's own records.
#include <string>

namespace testsupport {

// The format with its conversions filled, as the log call fills them.
std::wstring keptText(const wchar_t* format, ...);

// The same as the log file's bytes (UTF-8).
std::string keptBytes(const wchar_t* format, ...);

// The file's bytes of the text before the format's first conversion: what
// every record of that format begins with.
std::string keptPrefix(const wchar_t* format);

}  // namespace testsupport
