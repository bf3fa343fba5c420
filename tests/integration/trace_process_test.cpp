// Several processes append to one log at once: every line lands whole, once,
// with its own process id.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "qvtr/module.h"
#include "support/support.h"
#include "win32/api.h"

using namespace testing_support;

namespace {

constexpr int kProcesses = 4;
constexpr int kLines = 5000;
// Long enough to cross a page of the pipe and short enough to stay one write.
const std::string kPadding(40, '.');

TEST(TraceProcess, LinesOfManyProcessesStayWhole) {
    if (ChildRole() != nullptr) {  // the writer's side
        CComModuleSupport module;
        module.m_strLogPath = std::getenv("QVTR_TEST_LOG");
        module.m_nDebugLevel = 1;
        for (int i = 0; i < kLines; ++i) {
            module.Trace(1, "line %05d %s\n", i, kPadding.c_str());
        }
        return;
    }
    TempDir dir;
    const std::string log = dir.File("shared.log");
    ScopedEnv role("QVTR_CHILD_ROLE", "writer");
    ScopedEnv path("QVTR_TEST_LOG", log.c_str());
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kProcesses; ++i) {
        children.push_back(
            std::make_unique<Child>(SelfPath(), ChildArgs("TraceProcess.LinesOfManyProcessesStayWhole")));
        ASSERT_TRUE(children.back()->Started());
    }
    std::map<unsigned, std::set<int>> seen;
    for (auto& child : children) {
        EXPECT_EQ(child->Wait(), 0);
        seen[child->Pid()];
    }
    size_t lines = 0;
    for (const std::string& line : ReadLines(log)) {
        ++lines;
        unsigned pid = 0;
        int number = -1;
        char padding[64] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "%08X: line %05d %63s", &pid, &number, padding), 3) << line;
        ASSERT_EQ(padding, kPadding) << line;
        ASSERT_EQ(line.size(), 8 + 2 + 11 + kPadding.size()) << line;
        ASSERT_EQ(seen.count(pid), 1u) << "not a writer: " << line;
        EXPECT_TRUE(seen[pid].insert(number).second) << "duplicate: " << line;
    }
    EXPECT_EQ(lines, static_cast<size_t>(kProcesses * kLines));
    for (const auto& entry : seen) {
        EXPECT_EQ(entry.second.size(), static_cast<size_t>(kLines)) << std::hex << entry.first;
    }
}

}  // namespace
