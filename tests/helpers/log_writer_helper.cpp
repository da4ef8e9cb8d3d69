// Test helper: a second process writing the same log file.
//   log_writer_helper PATH TAG COUNT [CUT KEEP]
// appends COUNT records "TAG-NNNNNN" plus filler through the log writer, with
// a short interval so that its batches interleave with another process's.
#include "common/log_writer.h"

#include <windows.h>

#include <cstdlib>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4 && argc != 6) {
        return 2;
    }
    const std::wstring wideTag = argv[2];
    const std::string tag(wideTag.begin(), wideTag.end());
    const long count = std::wcstol(argv[3], nullptr, 10);
    const uint64_t cut = argc == 6 ? _wcstoui64(argv[4], nullptr, 10) : common::LogWriter::kCutSize;
    const uint64_t keep = argc == 6 ? _wcstoui64(argv[5], nullptr, 10) : common::LogWriter::kKeepSize;

    common::LogWriter writer(std::chrono::milliseconds(5), cut, keep);
    writer.start(argv[1]);
    for (long i = 0; i < count; ++i) {
        std::string number = std::to_string(i);
        number.insert(0, 6 - number.size(), '0');
        const std::string record = tag + "-" + number + " " + std::string(30, 'x') + "\r\n";
        while (writer.pendingSize() > common::LogWriter::kThreshold / 2) {
            Sleep(1);  // never refused: every record must arrive
        }
        writer.append(record.data(), record.size());
    }
    writer.stop();
    return 0;
}
