#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace utility::ufile {

// Directory of the running executable, with a trailing separator; empty when
// it cannot be derived.
std::wstring getModuleDir();

// The running executable's full path at any length; empty when it cannot be
// read. read is GetModuleFileNameW's shape; tests give others.
using ReadModuleName = DWORD(WINAPI*)(HMODULE module, LPWSTR name, DWORD size);
std::wstring getModulePath(ReadModuleName read = &GetModuleFileNameW);

// Directory part of path with its separator; empty when there is none. One
// trailing separator is ignored; a backslash wins over a slash.
std::wstring getParentDir(const std::wstring& path);

// Creates the directory and every missing parent; true when it exists after.
// False, with the system's error code in GetLastError, when it cannot.
bool makeDir(const std::wstring& path);

// This user's local application-data folder, with a trailing separator: the
// environment's LOCALAPPDATA, else the known folder; empty when neither is.
std::wstring getLocalAppDataDir();

// Why a folder cannot be written, from the system's error code, in words a
// user can act on.
std::wstring describeWriteError(uint32_t error);

}  // namespace utility::ufile
