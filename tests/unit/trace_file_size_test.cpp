// A line reaches the end of the log at every size: past 4 GiB a 32-bit position
// is no failure. Sparse files, so no disk space is needed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "qvtr/module.h"
#include "support/support.h"

TEST(TraceAtFileSize, LineIsAppendedAtEverySize) {
    const uint64_t sizes[] = {0, 4294967294ull, 4294967295ull, 4294967296ull, 8589934591ull};
    testing_support::TempDir dir;
    const std::string path = dir.File("qvtr.log");
    for (const uint64_t size : sizes) {
        SCOPED_TRACE(size);
        std::ofstream(path, std::ios::binary | std::ios::trunc).close();
        std::filesystem::resize_file(path, size);
        CComModuleSupport module;
        module.m_nDebugLevel = 1;
        module.m_strLogPath = path;
        module.Trace(1, "%s\n", "end");
        ASSERT_EQ(std::filesystem::file_size(path), size + 14);
        std::ifstream in(path, std::ios::binary);
        in.seekg(-6, std::ios::end);
        std::string tail(6, '\0');
        in.read(&tail[0], 6);
        EXPECT_EQ(tail, ": end\n");
    }
    std::filesystem::remove(path);
}
