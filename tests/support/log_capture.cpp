#include "support/log_capture.h"

namespace testsupport {
namespace {

std::mutex g_mutex;
std::vector<LogCapture::Entry> g_entries;

}  // namespace

LogCapture::LogCapture()
{
    clear();
    common::setLogSink(&LogCapture::sink);
}

LogCapture::~LogCapture()
{
    common::setLogSink(nullptr);
}

void LogCapture::sink(const char* function, int line, const wchar_t* message, common::LogPriority priority) noexcept
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries.push_back({function ? function : "", line, message ? message : L"", priority});
}

std::vector<LogCapture::Entry> LogCapture::entries() const
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_entries;
}

std::vector<std::wstring> LogCapture::messages() const
{
    std::vector<std::wstring> result;
    for (const Entry& entry : entries()) {
        result.push_back(entry.message);
    }
    return result;
}

bool LogCapture::contains(const std::wstring& message) const
{
    for (const Entry& entry : entries()) {
        if (entry.message == message) {
            return true;
        }
    }
    return false;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries.clear();
}

}  // namespace testsupport
