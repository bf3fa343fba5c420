// The emulated machine's version answers, for each example machine description.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "qvtr/platform.h"
#include "registry/reg_file.h"
#include "win32/api.h"

namespace {

using VerSetConditionMaskFn = ULONGLONG(WINAPI*)(ULONGLONG, DWORD, BYTE);
using VerifyVersionInfoAFn = BOOL(WINAPI*)(LPOSVERSIONINFOEXA, DWORD, DWORDLONG);

template <class T>
T Bind(const char* module, const char* name) {
    const HMODULE handle = Api().GetModuleHandleA(module);
    return handle ? reinterpret_cast<T>(reinterpret_cast<void (*)()>(Api().GetProcAddress(handle, name))) : nullptr;
}

void ForgetMachine() {
    for (const char* key : {"SOFTWARE\\Microsoft", "System\\CurrentControlSet\\Control"}) {
        const LONG error = regfile::DeleteTree(HKEY_LOCAL_MACHINE, key);
        ASSERT_TRUE(error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) << error;
    }
}

void ImportMachine(const std::string& name) {
    const std::string path = std::string(QVTR_SOURCE_DIR) + "/examples/machines/" + name + ".reg";
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.good()) << path;
    std::stringstream bytes;
    bytes << in.rdbuf();
    regfile::Document document;
    regfile::Problem problem;
    ASSERT_TRUE(regfile::Parse(bytes.str(), document, problem))
        << path << ":" << problem.line << ": " << problem.reason;
    ASSERT_EQ(regfile::Apply(document, problem), ERROR_SUCCESS) << problem.reason;
}

bool HasSuite(WORD suite) {
    auto mask = Bind<VerSetConditionMaskFn>("ntdll.dll", "VerSetConditionMask");
    auto verify = Bind<VerifyVersionInfoAFn>("KERNEL32.DLL", "VerifyVersionInfoA");
    EXPECT_NE(mask, nullptr);
    EXPECT_NE(verify, nullptr);
    OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.wSuiteMask = suite;
    return verify(&info, VER_SUITENAME, mask(0, VER_SUITENAME, VER_AND)) != FALSE;
}

TEST(Version, ExampleMachinesAnswerAsTheyWould) {
    struct Case {
        const char* file;
        DWORD platform, major, minor, build;
        const char* servicePack;
        DWORD getVersion;
        bool terminalSuite, terminalServer, metaFrame, winFrame;
    };
    const Case cases[] = {
        {"nt40-workstation", 2, 4, 0, 1381, "Service Pack 6", 0x05650004, false, false, false, false},
        {"nt40-terminal-server", 2, 4, 0, 1381, "Service Pack 6", 0x05650004, true, true, false, false},
        {"nt40-metaframe", 2, 4, 0, 1381, "Service Pack 6", 0x05650004, true, true, true, false},
        {"nt351-winframe", 2, 3, 51, 1057, "Service Pack 5", 0x04213303, false, false, false, true},
        {"win2000-terminal-server", 2, 5, 0, 2195, "Service Pack 4", 0x08930005, true, true, false, false},
        {"win98", 1, 4, 10, 0x040A08AE, " A", 0x80000A04, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ForgetMachine();
        ImportMachine(c.file);
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = sizeof info;
        ASSERT_TRUE(Api().GetVersionExA(&info));
        EXPECT_EQ(info.dwPlatformId, c.platform);
        EXPECT_EQ(info.dwMajorVersion, c.major);
        EXPECT_EQ(info.dwMinorVersion, c.minor);
        EXPECT_EQ(info.dwBuildNumber, c.build);
        EXPECT_STREQ(info.szCSDVersion, c.servicePack);
        EXPECT_EQ(Api().GetVersion(), c.getVersion);
        EXPECT_EQ(HasSuite(VER_SUITE_TERMINAL), c.terminalSuite);

        COsVersionInfo os;
        EXPECT_EQ(os.IsTerminalServer(), c.terminalServer);
        EXPECT_EQ(os.IsMetaFrame(), c.metaFrame);
        EXPECT_EQ(os.IsWinFrame(), c.winFrame);
    }
    ForgetMachine();
}

TEST(Version, AnEmptyRegistryIsASingleUserXp) {
    ForgetMachine();
    OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(Api().GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)));
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_EQ(info.dwBuildNumber, 2600u);
    EXPECT_STREQ(info.szCSDVersion, "");
    EXPECT_EQ(info.wSuiteMask, 0);
    EXPECT_EQ(info.wProductType, 1);  // a workstation
    EXPECT_EQ(Api().GetVersion(), 0x0A280105u);
    EXPECT_FALSE(HasSuite(VER_SUITE_TERMINAL));

    // Sizes other than the two records are refused.
    for (DWORD size : {0u, 147u, 149u, 155u, 157u}) {
        OSVERSIONINFOEXA other{};
        other.dwOSVersionInfoSize = size;
        Api().SetLastError(0);
        EXPECT_FALSE(Api().GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&other))) << size;
        EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
}

TEST(Version, VerifyVersionInfoComparesVersionsAndSuites) {
    ForgetMachine();
    ImportMachine("nt40-terminal-server");
    auto mask = Bind<VerSetConditionMaskFn>("ntdll.dll", "VerSetConditionMask");
    auto verify = Bind<VerifyVersionInfoAFn>("KERNEL32.DLL", "VerifyVersionInfoA");
    ASSERT_NE(mask, nullptr);
    ASSERT_NE(verify, nullptr);
    EXPECT_EQ(mask(0, VER_SUITENAME, VER_AND), 6ull << 18);
    EXPECT_EQ(mask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), 3ull << 3);
    EXPECT_EQ(mask(5, VER_MINORVERSION, 0), 5ull);  // no condition: unchanged
    EXPECT_EQ(Bind<VerifyVersionInfoAFn>("KERNEL32.DLL", "VerifyVersionInfoW"), nullptr);

    struct Case {
        DWORD major, minor;
        WORD servicePack;
        BYTE condition;
        bool expected;
    };
    const Case cases[] = {
        {4, 0, 6, VER_EQUAL, true},      {4, 0, 0, VER_GREATER_EQUAL, true},  {4, 0, 7, VER_GREATER_EQUAL, false},
        {3, 51, 9, VER_GREATER, true},   {5, 0, 0, VER_GREATER_EQUAL, false}, {5, 0, 0, VER_LESS, true},
        {4, 0, 6, VER_LESS_EQUAL, true}, {4, 0, 6, VER_LESS, false},
    };
    for (const Case& c : cases) {
        OSVERSIONINFOEXA info{};
        info.dwOSVersionInfoSize = sizeof info;
        info.dwMajorVersion = c.major;
        info.dwMinorVersion = c.minor;
        info.wServicePackMajor = c.servicePack;
        ULONGLONG conditions = 0;
        for (DWORD type : {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR}) {
            conditions = mask(conditions, type, c.condition);
        }
        Api().SetLastError(0);
        const BOOL result = verify(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, conditions);
        EXPECT_EQ(result != FALSE, c.expected) << c.major << "." << c.minor << " sp" << c.servicePack;
        if (!c.expected) {
            EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
        }
    }
    OSVERSIONINFOEXA platform{};
    platform.dwOSVersionInfoSize = sizeof platform;
    platform.dwPlatformId = VER_PLATFORM_WIN32_NT;
    EXPECT_TRUE(verify(&platform, VER_PLATFORMID, mask(0, VER_PLATFORMID, VER_EQUAL)));
    platform.wProductType = 3;  // a server
    EXPECT_TRUE(verify(&platform, VER_PRODUCT_TYPE, mask(0, VER_PRODUCT_TYPE, VER_EQUAL)));
    EXPECT_FALSE(verify(&platform, 0, 0));
    ForgetMachine();
}

}  // namespace
