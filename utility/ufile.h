#pragma once

#include <string>

namespace utility::ufile {

// Directory of the running executable, with a trailing separator; empty when
// it cannot be derived.
std::wstring getModuleDir();

// Directory part of path with its separator; empty when there is none. One
// trailing separator is ignored; a backslash wins over a slash.
std::wstring getParentDir(const std::wstring& path);

// Creates the directory and every missing parent; true when it exists after.
bool makeDir(const std::wstring& path);

}  // namespace utility::ufile
