// The process-wide log as the program brings it up: sink first, then the
// writer; records made before either are lost, a second start changes nothing.
#include "common/log.h"
#include "common/log_writer.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

int g_sinkCalls = 0;

void countingSink(const char*, int, const wchar_t*, common::LogPriority) noexcept
{
    ++g_sinkCalls;
}

TEST(LogStartup, RecordsBeforeSinkOrWriterAreLostThenTheFirstPathIsUsed)
{
    testsupport::TempDir dir;

    common::log("f", 1, L"before any sink");
    common::setLogSink(&countingSink);
    EXPECT_EQ(g_sinkCalls, 0);
    common::log("f", 2, L"counted");
    EXPECT_EQ(g_sinkCalls, 1);

    common::setLogSink(&common::logToFile);
    common::log("f", 3, L"before the writer");
    EXPECT_FALSE(common::initLog(L""));
    EXPECT_EQ(common::LogWriter::instance(), nullptr) << "an empty path started a writer";
    // A place that cannot be written is reported, so that another is tried.
    uint32_t error = 0;
    EXPECT_FALSE(common::initLog(dir.file(L"missing\\x.log"), &error));
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(common::LogWriter::instance(), nullptr);

    EXPECT_TRUE(common::initLog(dir.file(L"first.log")));
    common::LogWriter* writer = common::LogWriter::instance();
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(common::initLog(dir.file(L"second.log")));
    EXPECT_EQ(common::LogWriter::instance(), writer);

    common::log("f", 4, L"after %s", L"start");
    std::string file;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (file.find("after start") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        file = testsupport::readFile(dir.file(L"first.log"));
    }
    EXPECT_NE(file.find("\t(4):after start\r\n"), std::string::npos) << file;
    EXPECT_EQ(file.find("before"), std::string::npos) << file;
    EXPECT_FALSE(testsupport::fileExists(dir.file(L"second.log")));

    // The orderly end writes what is pending at once and drops what follows.
    common::log("f", 5, L"last words");
    common::shutdownLog();
    EXPECT_EQ(common::LogWriter::instance(), nullptr);
    common::log("f", 6, L"after the end");
    file = testsupport::readFile(dir.file(L"first.log"));
    EXPECT_NE(file.find("\t(5):last words\r\n"), std::string::npos) << file;
    EXPECT_EQ(file.find("after the end"), std::string::npos);
}

}  // namespace
