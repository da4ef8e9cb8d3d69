#pragma once

#include "common/log.h"

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// Installs itself as the log sink while it lives and keeps every message.
class LogCapture {
public:
    struct Entry {
        std::string function;
        int line;
        std::wstring message;
        common::LogPriority priority;
    };

    LogCapture();
    ~LogCapture();

    std::vector<Entry> entries() const;
    std::vector<std::wstring> messages() const;
    bool contains(const std::wstring& message) const;
    void clear();

private:
    static void sink(const char* function, int line, const wchar_t* message, common::LogPriority priority) noexcept;
};

}  // namespace testsupport
