#pragma once

#include <string>

namespace testsupport {

// A fresh directory under the temporary folder, removed with its contents
// when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& path() const { return m_path; }  // ends with a backslash
    std::wstring file(const std::wstring& name) const { return m_path + name; }

private:
    std::wstring m_path;
};

std::string readFile(const std::wstring& path);
void writeFile(const std::wstring& path, const std::string& bytes);
bool fileExists(const std::wstring& path);
bool directoryExists(const std::wstring& path);

}  // namespace testsupport
