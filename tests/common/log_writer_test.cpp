// The log writer: pending bound, batching, the file across runs, the size cut.
#include "common/log_writer.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using common::LogWriter;
using namespace std::chrono_literals;
using testsupport::TempDir;

void append(LogWriter& writer, const std::string& record)
{
    writer.append(record.data(), record.size());
}

// Polls until the file holds at least `size` bytes; the writer works on its
// own schedule.
std::string waitForFile(const std::wstring& path, size_t size, std::chrono::seconds limit = 60s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string bytes = testsupport::readFile(path);
    while (bytes.size() < size && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        bytes = testsupport::readFile(path);
    }
    return bytes;
}

// While the writer lags, ordinary records fill what is pending up to the
// bound less the lifecycle room, lifecycle records up to the bound less the
// ending room, and the record of why the process ends up to the bound; a
// record is taken whole or not at all, and what was taken reaches the file.
TEST(LogWriter, KeepsTheTopOfItsBoundForLifecycleRecords)
{
    using common::LogPriority;
    constexpr size_t kOrdinaryRoom = LogWriter::kCapacity - LogWriter::kLifecycleRoom;
    constexpr size_t kLifecycleTop = LogWriter::kCapacity - LogWriter::kEndingRoom;
    struct Case {
        const char* name;
        size_t pending;  // bytes already waiting
        LogPriority priority;
        bool taken;      // a 10-byte record
    };
    const Case cases[] = {
        {"ordinary, beyond the threshold", LogWriter::kThreshold + 1, LogPriority::Ordinary, true},
        {"ordinary, filling its room", kOrdinaryRoom - 10, LogPriority::Ordinary, true},
        {"ordinary, one byte over its room", kOrdinaryRoom - 9, LogPriority::Ordinary, false},
        {"ordinary, lifecycle records past its room", kOrdinaryRoom + 100, LogPriority::Ordinary, false},
        {"lifecycle, past the ordinary room", kOrdinaryRoom, LogPriority::Lifecycle, true},
        {"lifecycle, filling its room", kLifecycleTop - 10, LogPriority::Lifecycle, true},
        {"lifecycle, one byte over its room", kLifecycleTop - 9, LogPriority::Lifecycle, false},
        {"ending, past the lifecycle room", kLifecycleTop, LogPriority::Ending, true},
        {"ending, filling the bound", LogWriter::kCapacity - 10, LogPriority::Ending, true},
        {"ending, one byte over the bound", LogWriter::kCapacity - 9, LogPriority::Ending, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        LogWriter writer;
        writer.append(std::string(c.pending, 'f').data(), c.pending, LogPriority::Ending);
        ASSERT_EQ(writer.pendingSize(), c.pending);
        const std::string record = "a record\r\n";  // 10 bytes
        writer.append(record.data(), record.size(), c.priority);
        EXPECT_EQ(writer.pendingSize(), c.pending + (c.taken ? 10 : 0));

        ASSERT_TRUE(writer.start(dir.file(L"a.log")));
        writer.stop();
        EXPECT_EQ(testsupport::readFile(dir.file(L"a.log")).size(), c.pending + (c.taken ? 10 : 0));
    }
}

TEST(LogWriter, WritesSmallBatchesOnItsIntervalWithoutBeingStopped)
{
    TempDir dir;
    LogWriter writer;  // the real 500 ms interval
    writer.start(dir.file(L"a.log"));
    append(writer, "one\r\n");
    append(writer, "two\r\n");
    EXPECT_EQ(waitForFile(dir.file(L"a.log"), 10), "one\r\ntwo\r\n");
}

TEST(LogWriter, ReachingTheThresholdWakesTheWriterEarly)
{
    TempDir dir;
    LogWriter writer(std::chrono::minutes(10));
    writer.start(dir.file(L"a.log"));
    append(writer, "small\r\n");
    // A real wait, as the rule is one of time: with a 10-minute interval no
    // machine is slow enough to make a correct writer write in it.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(writer.batchesWritten(), 0u) << "wrote before the interval or threshold";
    append(writer, std::string(4096, 'x'));
    const std::string file = waitForFile(dir.file(L"a.log"), 4103);
    EXPECT_EQ(file.size(), 4103u) << "a full batch did not wake the writer";
    EXPECT_EQ(writer.batchesWritten(), 1u) << "wrote before the interval or threshold";
}

// When the system may end the process at any moment (the end of the
// session), what waits is written at once, and the log goes on after it.
TEST(LogWriter, AFlushWritesWhatWaitsNowAndTheWriterGoesOn)
{
    TempDir dir;
    LogWriter writer(std::chrono::minutes(10));  // neither interval nor threshold writes here
    ASSERT_TRUE(writer.start(dir.file(L"a.log")));
    append(writer, "before the end\r\n");
    EXPECT_TRUE(writer.flush(60s));
    EXPECT_EQ(testsupport::readFile(dir.file(L"a.log")), "before the end\r\n") << "in the file once flush returns";
    EXPECT_TRUE(writer.flush(60s)) << "nothing waits: done at once";
    append(writer, "the way out\r\n");
    writer.stop();
    EXPECT_EQ(testsupport::readFile(dir.file(L"a.log")), "before the end\r\nthe way out\r\n");
    EXPECT_FALSE(writer.flush(1s)) << "a stopped writer writes nothing more";
}

TEST(LogWriter, AppendsToWhatEarlierRunsWrote)
{
    TempDir dir;
    testsupport::writeFile(dir.file(L"a.log"), "earlier run\r\n");
    {
        LogWriter writer;
        writer.start(dir.file(L"a.log"));
        append(writer, "this run\r\n");
    }
    EXPECT_EQ(testsupport::readFile(dir.file(L"a.log")), "earlier run\r\nthis run\r\n");
}

TEST(LogWriter, EmptiesOnlyAFileThatStartsWithAUtf16ByteOrderMark)
{
    struct Case {
        std::string before;
        std::string after;
    };
    const std::vector<Case> cases = {
        {"\xFF\xFE" "o\0l\0d\0", "new\r\n"},
        {"\xFF" "A old", "\xFF" "A oldnew\r\n"},
        {"\xFF", "\xFFnew\r\n"},
        {"\xFE\xFF", "\xFE\xFFnew\r\n"},
        {"", "new\r\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        testsupport::writeFile(dir.file(L"a.log"), c.before);
        {
            LogWriter writer;
            writer.start(dir.file(L"a.log"));
            append(writer, "new\r\n");
        }
        EXPECT_EQ(testsupport::readFile(dir.file(L"a.log")), c.after) << "file started with " << c.before.size()
                                                                      << " bytes";
    }
}

TEST(LogWriter, CutsAFileOf50MiBOrMoreBackToItsLast2MiB)
{
    TempDir dir;
    std::string big(60000000, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    }
    testsupport::writeFile(dir.file(L"a.log"), big);
    {
        LogWriter writer;
        writer.start(dir.file(L"a.log"));
        append(writer, "after the cut\r\n");
    }
    const std::string file = testsupport::readFile(dir.file(L"a.log"));
    ASSERT_EQ(file.size(), 2097152u);
    const std::string expected = (big + "after the cut\r\n").substr(big.size() + 15 - 2097152);
    EXPECT_TRUE(file == expected) << "the kept bytes are not the file's last 2 MiB";
}

TEST(LogWriter, FileBelow50MiBIsNotCut)
{
    TempDir dir;
    testsupport::writeFile(dir.file(L"a.log"), std::string(LogWriter::kCutSize - 100, 'a'));
    {
        LogWriter writer;
        writer.start(dir.file(L"a.log"));
        append(writer, std::string(90, 'b'));
    }
    EXPECT_EQ(testsupport::readFile(dir.file(L"a.log")).size(), LogWriter::kCutSize - 10);
}

TEST(LogWriter, FileIsSharedForReadingAndWritingWhileOpen)
{
    TempDir dir;
    LogWriter writer;
    writer.start(dir.file(L"a.log"));
    append(writer, "x\r\n");
    waitForFile(dir.file(L"a.log"), 3);
    HANDLE other = CreateFileW(dir.file(L"a.log").c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    if (other != INVALID_HANDLE_VALUE) {
        CloseHandle(other);
    }
}

TEST(LogWriter, AnUnopenableFileIsReportedAndNothingRuns)
{
    TempDir dir;
    LogWriter writer;
    DWORD error = 0;
    EXPECT_FALSE(writer.start(dir.file(L"missing\\a.log"), &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    append(writer, "gone\r\n");
    writer.stop();
    EXPECT_FALSE(testsupport::fileExists(dir.file(L"missing\\a.log")));
}

TEST(LogWriter, RecordsFromManyThreadsArriveWhole)
{
    TempDir dir;
    {
        LogWriter writer;
        writer.start(dir.file(L"a.log"));
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&writer, t] {
                for (int i = 0; i < 200; ++i) {
                    append(writer, "thread " + std::to_string(t) + " record " + std::to_string(i) + " end\r\n");
                    if (i % 20 == 0) {
                        std::this_thread::sleep_for(1ms);
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    const std::string file = testsupport::readFile(dir.file(L"a.log"));
    size_t start = 0;
    size_t lines = 0;
    while (start < file.size()) {
        const size_t end = file.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = file.substr(start, end - start);
        EXPECT_EQ(line.rfind("thread ", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - 4), " end") << line;
        start = end + 2;
        ++lines;
    }
    EXPECT_GT(lines, 0u);
}

// A second start logs into the daemon's file while the daemon does: two
// processes, each with its own writer. Every record lands whole, none is
// overwritten, and a cut by either keeps a true tail of the file.
TEST(LogWriter, TwoProcessesShareOneFileWithoutLosingOrOverwritingARecord)
{
    struct Case {
        const char* name;
        std::wstring cut;  // empty: the real sizes, never reached
    };
    const Case cases[] = {{"appending", L""}, {"cutting at 64 KiB to 16 KiB", L" 65536 16384"}};
    constexpr int kRecords = 10000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::wstring path = dir.file(L"shared.log");
        testsupport::ChildProcess writers[2];
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(writers[i].start(L"\"" + testsupport::programDir() + L"log_writer_helper.exe\" \"" + path +
                                         L"\" " + (i == 0 ? L"A " : L"B ") + std::to_wstring(kRecords) + c.cut));
        }
        for (auto& writer : writers) {
            ASSERT_EQ(writer.wait(300000), 0u);
        }
        const std::string file = testsupport::readFile(path);
        std::map<char, std::vector<int>> seen;
        size_t start = c.cut.empty() ? 0 : file.find("\r\n") + 2;  // a cut falls anywhere in a record
        while (start < file.size()) {
            const size_t end = file.find("\r\n", start);
            ASSERT_NE(end, std::string::npos) << "the file ends inside a record";
            const std::string line = file.substr(start, end - start);
            ASSERT_TRUE(line.size() == 39 && (line[0] == 'A' || line[0] == 'B') && line[1] == '-' &&
                        line.substr(8) == " " + std::string(30, 'x'))
                << "a record was broken or overwritten: " << line;
            seen[line[0]].push_back(std::stoi(line.substr(2, 6)));
            start = end + 2;
        }
        ASSERT_FALSE(seen.empty()) << "no record survived";
        for (const char tag : {'A', 'B'}) {
            const std::vector<int>& numbers = seen[tag];
            // A cut keeps a tail: a writer that ended well before the other
            // may have no record left in it, but never only some of its last.
            if (!c.cut.empty() && numbers.empty()) {
                continue;
            }
            ASSERT_FALSE(numbers.empty()) << tag;
            // Each writer's records, in order, without a gap, up to its last.
            EXPECT_EQ(numbers.back(), kRecords - 1) << tag;
            EXPECT_EQ(numbers.size(), static_cast<size_t>(numbers.back() - numbers.front() + 1)) << tag;
            for (size_t i = 1; i < numbers.size(); ++i) {
                ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << tag << " after " << numbers[i - 1];
            }
            if (c.cut.empty()) {
                EXPECT_EQ(numbers.front(), 0) << tag;
            }
        }
    }
}

}  // namespace
