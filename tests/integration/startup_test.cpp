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

TEST(Startup, LoadingTheLibraryReadsItsIniAndTracesAtLevelFive) {
    const std::string source = QVTR_SHARED_LIBRARY;
    char prefix[16];
#if defined(_WIN32)
    std::snprintf(prefix, sizeof prefix, "%08X: ", static_cast<unsigned>(GetCurrentProcessId()));
#else
    std::snprintf(prefix, sizeof prefix, "%08X: ", static_cast<unsigned>(getpid()));
#endif
    const struct {
        const char* debug;  // null: no INI before the first load
        bool traced;
    } cases[] = {{nullptr, false}, {"5", true}, {"4", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.debug ? c.debug : "no INI");
        TempDir dir;
        const std::string library = dir.File(source.substr(source.find_last_of("/\\") + 1));
        const std::string log = dir.File("startup.log"), ini = dir.File("qvtr.ini");
        CopyFileBytes(PlatformPath(source), library);
        if (c.debug) {
            WriteFile(ini, "[LOG]\npath=" + log + "\n[QVTR]\ndebug=" + c.debug + "\n");
        }
#if defined(_WIN32)
        HMODULE module = LoadLibraryA(library.c_str());
        ASSERT_NE(module, nullptr) << GetLastError();
        FreeLibrary(module);
#else
        // Kept mapped, as hosts keep the module: the backend's process-wide state
        // lives until the process ends, and process detach then runs at exit.
        void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        ASSERT_NE(module, nullptr) << dlerror();
        dlclose(module);
#endif
        // A plain text any tool can read, with the log path written back.
        const std::string text = ReadFile(ini);
        EXPECT_NE(text.find("[LOG]"), std::string::npos) << text;
        EXPECT_NE(text.find(c.debug ? "path=" + log : std::string("qvtr.log")), std::string::npos) << text;
        EXPECT_EQ(ReadFile(log), c.traced ? prefix + ("Init() log path " + log + "\n") : "");
    }
}

}  // namespace
