// The shared library loaded for real, as a host process loads the module: its
// entry point reads qvtr.ini beside the library and writes the start-up line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/support.h"

#if defined(_WIN32)
#include "qvtr/win32.h"
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

using namespace testing_support;

namespace {

std::string LibraryName() {
    const std::string path = QVTR_SHARED_LIBRARY;
    return path.substr(path.find_last_of("/\\") + 1);
}

std::string Prefix() {
    char prefix[16];
#if defined(_WIN32)
    std::snprintf(prefix, sizeof prefix, "%08X: ", static_cast<unsigned>(GetCurrentProcessId()));
#else
    std::snprintf(prefix, sizeof prefix, "%08X: ", static_cast<unsigned>(getpid()));
#endif
    return prefix;
}

// A copy of the library in its own directory, loaded and unloaded by the test.
class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_library = m_dir.File(LibraryName());
        CopyFileBytes(PlatformPath(QVTR_SHARED_LIBRARY), m_library);
    }

    void LoadAndUnload() {
#if defined(_WIN32)
        HMODULE module = LoadLibraryA(m_library.c_str());
        ASSERT_NE(module, nullptr) << GetLastError();
        FreeLibrary(module);
#else
        // Kept mapped, as hosts keep the module: the backend's process-wide state
        // (the registry connection, the handle table) lives until the process ends,
        // and process detach then runs at exit.
        void* module = dlopen(m_library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        ASSERT_NE(module, nullptr) << dlerror();
        dlclose(module);
#endif
    }

    std::string IniValue(const char* section, const char* key) {
        // Read back through a plain parse: the INI is a text file any tool can read.
        std::string current;
        for (std::string line : ReadLines(m_dir.File("qvtr.ini"))) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!line.empty() && line[0] == '[') {
                current = line.substr(1, line.find(']') - 1);
            } else if (current == section &&
                       line.compare(0, std::string(key).size() + 1, std::string(key) + "=") == 0) {
                return line.substr(std::string(key).size() + 1);
            }
        }
        return "(missing)";
    }

    TempDir m_dir;
    std::string m_library;
};

TEST_F(StartupTest, FirstLoadCreatesTheIniBesideTheLibrary) {
    LoadAndUnload();
    ASSERT_TRUE(FileExists(m_dir.File("qvtr.ini")));
    const std::string log = IniValue("LOG", "path");
    EXPECT_NE(log, "(missing)");
    EXPECT_EQ(log.substr(log.size() - 8), "qvtr.log");
}

TEST_F(StartupTest, StartUpLineIsWrittenAtLevelFive) {
    const std::string log = m_dir.File("startup.log");
    WriteFile(m_dir.File("qvtr.ini"), "[LOG]\npath=" + log + "\n[QVTR]\ndebug=5\n");
    LoadAndUnload();
    EXPECT_EQ(ReadFile(log), Prefix() + "Init() log path " + log + "\n");
    EXPECT_EQ(IniValue("LOG", "path"), log);
}

TEST_F(StartupTest, NothingIsWrittenBelowLevelFive) {
    const std::string log = m_dir.File("startup.log");
    WriteFile(m_dir.File("qvtr.ini"), "[LOG]\npath=" + log + "\n[QVTR]\ndebug=4\n");
    LoadAndUnload();
    EXPECT_FALSE(FileExists(log));
}

}  // namespace
