// Records as they reach the file: prefix, cuts, raw text.
#include "common/local_time.h"
#include "common/kept_texts.h"
#include "common/log.h"
#include "common/log_stream.h"
#include "common/log_writer.h"
#include "support/kept_text.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cwchar>
#include <string>

namespace {

using testsupport::TempDir;

std::string utf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

// Routes records through the real sink into a file of a private writer.
class RecordsInFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_writer.start(m_dir.file(L"records.log"));
        common::LogWriter::setInstance(&m_writer);
        common::setLogSink(&common::logToFile);
    }

    void TearDown() override
    {
        common::setLogSink(nullptr);
        common::LogWriter::setInstance(nullptr);
        m_writer.stop();
    }

    // Stops the writer and returns the file's records.
    std::string finish()
    {
        common::LogWriter::setInstance(nullptr);
        m_writer.stop();
        return testsupport::readFile(m_dir.file(L"records.log"));
    }

    // The message part of the only record in the file.
    std::string onlyMessage()
    {
        const std::string file = finish();
        EXPECT_GE(file.size(), 2u);
        EXPECT_EQ(file.substr(file.size() - 2), "\r\n");
        EXPECT_EQ(file.find("\r\n"), file.size() - 2) << "more than one line";
        const size_t colon = file.find("):");
        EXPECT_NE(colon, std::string::npos);
        return file.substr(colon + 2, file.size() - colon - 4);
    }

    TempDir m_dir;
    common::LogWriter m_writer;
};

TEST(RecordPrefix, PadsFieldsSeparatesWithTabsAndEndsWithLine)
{
    SYSTEMTIME time = {};
    time.wMonth = 2;
    time.wDay = 10;
    time.wHour = 14;
    time.wMinute = 3;
    time.wSecond = 7;
    time.wMilliseconds = 45;
    char out[256];
    common::formatRecordPrefix(out, sizeof out, time, 2468, "OrvDiscordManager::init", 57);
    EXPECT_STREQ(out, "02-10\t14:03:07.045\t2468\tOrvDiscordManager::init\t(57):");

    time = {};
    time.wMonth = 12;
    time.wDay = 31;
    time.wHour = 23;
    time.wMinute = 59;
    time.wSecond = 59;
    time.wMilliseconds = 999;
    common::formatRecordPrefix(out, sizeof out, time, 468, "f", 1234567);
    EXPECT_STREQ(out, "12-31\t23:59:59.999\t0468\tf\t(1234567):");
    common::formatRecordPrefix(out, sizeof out, time, 123456, "f", 0);
    EXPECT_STREQ(out, "12-31\t23:59:59.999\t123456\tf\t(0):");
    common::formatRecordPrefix(out, sizeof out, time, 7, "f", -3);
    EXPECT_STREQ(out, "12-31\t23:59:59.999\t0007\tf\t(-3):");
}

TEST_F(RecordsInFile, RecordCarriesCallingThreadAndLocalTime)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    common::log("utility::ufile::makeDir", 42, kept::kMakeDirFailed, 5);
    const std::string file = finish();

    char threadId[16];
    snprintf(threadId, sizeof threadId, "%04lu", static_cast<unsigned long>(GetCurrentThreadId()));
    char date[8];
    snprintf(date, sizeof date, "%02d-%02d\t", before.wMonth, before.wDay);
    EXPECT_EQ(file.rfind(date, 0), 0u) << file;
    EXPECT_NE(file.find(std::string("\t") + threadId + "\tutility::ufile::makeDir\t(42):" +
                        testsupport::keptBytes(kept::kMakeDirFailed, 5) + "\r\n"),
              std::string::npos)
        << file;
    // MM-DD, HH:MM:SS.mmm, thread, function, (line):message
    EXPECT_EQ(file[5], '\t');
    EXPECT_EQ(file[8], ':');
    EXPECT_EQ(file[11], ':');
    EXPECT_EQ(file[14], '.');
    EXPECT_EQ(file[18], '\t');
}

TEST_F(RecordsInFile, WideStringArgumentsAndPercentSignsArriveUnchanged)
{
    // "%s" takes a wide string in this formatter; text from outside may carry
    // conversions that must never be read as a format again.
    const std::wstring outside = L"details=100%s %d %n %% |state=\x4E2D\x6587";
    common::log("f", 1, L"data = %s", outside.c_str());
    EXPECT_EQ(onlyMessage(), "data = " + utf8(outside));
}

TEST_F(RecordsInFile, EmbeddedLineBreaksAreKeptByteForByte)
{
    common::log("OrvDiscordManager::init", 9, kept::kDiscordInit);
    const std::string file = finish();
    EXPECT_NE(file.find("\t(9):" + testsupport::keptBytes(kept::kDiscordInit) + "\r\n"), std::string::npos) << file;
    EXPECT_EQ(file.substr(file.size() - 2), "\r\n");
}

TEST_F(RecordsInFile, EmptyMessageIsPrefixAndLineEnd)
{
    common::log("f", 3, L"");
    const std::string file = finish();
    EXPECT_EQ(file.substr(file.size() - 7), "\t(3):\r\n");
}

TEST_F(RecordsInFile, LongAsciiMessageKeepsItsFirst512Units)
{
    std::wstring text;
    for (int i = 0; i < 600; ++i) {
        text.push_back(static_cast<wchar_t>(L'a' + i % 26));
    }
    common::log("f", 1, L"%s", text.c_str());
    EXPECT_EQ(onlyMessage(), utf8(text.substr(0, 512)));
}

TEST_F(RecordsInFile, LongCjkMessageIsCutAtACharacterBoundaryToFitTheRecord)
{
    const std::wstring text(400, L'\x6F22');  // three bytes each in UTF-8
    common::log("OrvDiscordManager::onHandleWindowIPC", 120, L"%s", text.c_str());
    const std::string file = finish();
    ASSERT_FALSE(file.empty()) << "the record was dropped instead of cut";
    EXPECT_LE(file.size(), 1024u);
    EXPECT_GT(file.size(), 1024u - 3u) << "the cut left more room than one character";
    const std::string message = file.substr(file.find("):") + 2, file.size() - file.find("):") - 4);
    EXPECT_EQ(message.size() % 3, 0u);
    EXPECT_EQ(message, utf8(text.substr(0, message.size() / 3)));
}

TEST_F(RecordsInFile, SurrogatePairsAreNeverSplit)
{
    // U+1F600 is four bytes in UTF-8; a split pair would show up as U+FFFD.
    std::wstring text;
    for (int i = 0; i < 300; ++i) {
        text += L"\xD83D\xDE00";
    }
    common::log("f", 1, L"%s", text.c_str());
    const std::string message = onlyMessage();
    EXPECT_EQ(message.find("\xEF\xBF\xBD"), std::string::npos);
    EXPECT_EQ(message.size() % 4, 0u);
    EXPECT_EQ(message, utf8(text.substr(0, message.size() / 2)));
}

TEST_F(RecordsInFile, RecordWhosePrefixCannotFitIsDroppedWhole)
{
    const std::string function(1100, 'F');
    common::log(function.c_str(), 1, L"lost");
    common::log("f", 2, L"kept");
    const std::string file = finish();
    EXPECT_EQ(file.find("lost"), std::string::npos);
    EXPECT_NE(file.find("(2):kept\r\n"), std::string::npos);
}

TEST_F(RecordsInFile, FormattedTextLongerThanTheBufferNeitherOverrunsNorEnds)
{
    const std::wstring huge(100000, L'x');
    common::log("f", 1, L"%s%s", huge.c_str(), huge.c_str());
    EXPECT_EQ(onlyMessage(), std::string(512, 'x'));
}

TEST(LogFormat, OverlongFormattingStaysTerminatedInsideItsBuffer)
{
    wchar_t buffer[16];
    for (wchar_t& unit : buffer) {
        unit = L'#';
    }
    auto format = [&](const wchar_t* fmt, ...) {
        va_list args;
        va_start(args, fmt);
        common::formatMessage(buffer, 8, fmt, args);
        va_end(args);
    };
    format(L"%s", L"0123456789abcdef");
    EXPECT_EQ(std::wstring(buffer), L"0123456");
    EXPECT_EQ(buffer[8], L'#') << "wrote past the given capacity";
    format(L"%d|%s", 42, L"ab");
    EXPECT_EQ(std::wstring(buffer), L"42|ab");
}


std::wstring formatted(const wchar_t* format, ...)
{
    wchar_t buffer[64];
    va_list args;
    va_start(args, format);
    common::formatMessage(buffer, 64, format, args);
    va_end(args);
    return buffer;
}

std::wstring runtimeFormatted(const wchar_t* format, ...)
{
    wchar_t buffer[64] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 63, format, args);
    va_end(args);
    return buffer;
}

TEST(LogFormat, ExpandsLikeTheRuntimeFormatterIncludingCutsAndNullStrings)
{
    const wchar_t* longText = L"0123456789012345678901234567890123456789012345678901234567890123456789";
    // The hand-expanded formats and those left to the runtime both give what
    // the runtime gives.
    EXPECT_EQ(formatted(L"msg = %d, data = %s", 9990, L"a|b"), runtimeFormatted(L"msg = %d, data = %s", 9990, L"a|b"));
    EXPECT_EQ(formatted(L"%d %d %d", INT_MIN, 0, INT_MAX), runtimeFormatted(L"%d %d %d", INT_MIN, 0, INT_MAX));
    EXPECT_EQ(formatted(L"100%% [%s]", static_cast<const wchar_t*>(nullptr)),
              runtimeFormatted(L"100%% [%s]", static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(formatted(L"%s|%d", longText, 7), runtimeFormatted(L"%s|%d", longText, 7));
    EXPECT_EQ(formatted(L"%s", longText).size(), 63u);
    EXPECT_EQ(formatted(L"%5d|%x|%-3s|", 42, 255, L"a"), L"   42|ff|a  |");
    EXPECT_EQ(formatted(L"trailing %"), runtimeFormatted(L"trailing %"));
}

int64_t ticksOf(const SYSTEMTIME& time)
{
    FILETIME file;
    EXPECT_TRUE(SystemTimeToFileTime(&time, &file));
    return static_cast<int64_t>((static_cast<uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime);
}

TEST(LocalTime, AgreesWithGetLocalTimeAcrossSecondBoundaries)
{
    // CTest runs this program in UTC+05:45, so a bias applied wrongly or
    // not at all is off by far more than the slack.
    constexpr int64_t kSlack = 20 * 10000;  // 20 ms, for clocks of coarser grain
    const DWORD end = GetTickCount() + 2500;
    int checks = 0;
    while (GetTickCount() < end) {
        SYSTEMTIME before;
        SYSTEMTIME ours;
        SYSTEMTIME after;
        GetLocalTime(&before);
        common::currentLocalTime(ours);
        GetLocalTime(&after);
        ASSERT_GE(ticksOf(ours), ticksOf(before) - kSlack);
        ASSERT_LE(ticksOf(ours), ticksOf(after) + kSlack);
        ++checks;
        Sleep(checks % 7);
    }
    EXPECT_GT(checks, 100);
}

// The log calls the daemon makes hand lifecycle and ending records to the
// writer with their priority: where ordinary records are refused, those are
// taken and reach the file; where lifecycle ones are, the ending one is. The
// writer does not run while the test fills it: nothing leaves before it looks.
TEST(LogCalls, LifecycleAndEndingRecordsReachTheFileWhereOrdinaryOnesAreRefused)
{
    using common::LogPriority;
    using common::LogWriter;
    TempDir dir;
    LogWriter writer;
    const auto fillUpTo = [&writer](LogPriority priority) {
        const size_t size = LogWriter::pendingLimit(priority) - writer.pendingSize();
        writer.append(std::string(size, 'f').data(), size, priority);
        return writer.pendingSize() == LogWriter::pendingLimit(priority);
    };
    ASSERT_TRUE(fillUpTo(LogPriority::Ordinary));
    LogWriter::setInstance(&writer);
    common::setLogSink(&common::logToFile);

    ORV_LOG("LogCalls", L"ordinary record");
    ORV_LOG_LIFECYCLE("LogCalls", L"lifecycle record");
    const bool lifecycleRoomFull = fillUpTo(LogPriority::Lifecycle);
    ORV_LOG_ENDING("LogCalls", L"ending record");

    common::setLogSink(nullptr);
    LogWriter::setInstance(nullptr);
    ASSERT_TRUE(lifecycleRoomFull);
    ASSERT_TRUE(writer.start(dir.file(L"records.log")));
    writer.stop();
    const std::string file = testsupport::readFile(dir.file(L"records.log"));
    EXPECT_EQ(file.find("ordinary record"), std::string::npos) << "the ordinary room was not full";
    EXPECT_NE(file.find("lifecycle record\r\n"), std::string::npos) << "refused as an ordinary record";
    EXPECT_NE(file.find("ending record\r\n"), std::string::npos) << "refused as an ordinary or lifecycle record";
}

}  // namespace
