// The emulated machine's version answers, for each example machine description.
#include <gtest/gtest.h>

#include <string>

#include "qvtr/platform.h"
#include "regfile/reg_file.h"
#include "support/support.h"
#include "win32/api.h"

namespace {

using VerSetConditionMaskFn = ULONGLONG(WINAPI*)(ULONGLONG, DWORD, BYTE);
using VerifyVersionInfoAFn = BOOL(WINAPI*)(LPOSVERSIONINFOEXA, DWORD, DWORDLONG);

VerSetConditionMaskFn g_mask = nullptr;
VerifyVersionInfoAFn g_verify = nullptr;

// The machine the backend emulates: an example description, or none ("").
void Describe(const std::string& name) {
    for (const char* key : {"SOFTWARE\\Microsoft", "System\\CurrentControlSet\\Control"}) {
        const LONG error = regfile::DeleteTree(HKEY_LOCAL_MACHINE, key);
        ASSERT_TRUE(error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) << error;
    }
    g_mask = reinterpret_cast<VerSetConditionMaskFn>(
        reinterpret_cast<void (*)()>(Api().GetProcAddress(Api().GetModuleHandleA("ntdll.dll"), "VerSetConditionMask")));
    g_verify = reinterpret_cast<VerifyVersionInfoAFn>(reinterpret_cast<void (*)()>(
        Api().GetProcAddress(Api().GetModuleHandleA("KERNEL32.DLL"), "VerifyVersionInfoA")));
    ASSERT_TRUE(g_mask && g_verify);
    if (name.empty()) {
        return;
    }
    const std::string path = std::string(QVTR_SOURCE_DIR) + "/examples/machines/" + name + ".reg";
    regfile::Document document;
    regfile::Problem problem;
    ASSERT_TRUE(regfile::Parse(testing_support::ReadFile(path), document, problem))
        << path << ":" << problem.line << ": " << problem.reason;
    ASSERT_EQ(regfile::Apply(document, problem), ERROR_SUCCESS) << problem.reason;
}

TEST(Version, ExampleMachinesAnswerAsTheyWould) {
    struct Case {
        const char* file;
        DWORD platform, major, minor, build;
        const char* servicePack;
        DWORD getVersion;
        BYTE productType;
        bool terminalServer, metaFrame, winFrame;
    };
    const Case cases[] = {
        {"nt40-workstation", 2, 4, 0, 1381, "Service Pack 6", 0x05650004, 1, false, false, false},
        {"nt40-terminal-server", 2, 4, 0, 1381, "Service Pack 6", 0x05650004, 3, true, false, false},
        {"nt40-metaframe", 2, 4, 0, 1381, "Service Pack 6", 0x05650004, 3, true, true, false},
        {"nt351-winframe", 2, 3, 51, 1057, "Service Pack 5", 0x04213303, 3, false, false, true},
        {"win2000-terminal-server", 2, 5, 0, 2195, "Service Pack 4", 0x08930005, 3, true, false, false},
        {"win98", 1, 4, 10, 0x040A08AE, " A", 0x80000A04, 0, false, false, false},
        {"", 2, 5, 1, 2600, "", 0x0A280105, 1, false, false, false},  // no description: a single-user XP
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Describe(c.file);
        OSVERSIONINFOEXA info{};
        info.dwOSVersionInfoSize = sizeof info;
        ASSERT_TRUE(Api().GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&info)));
        EXPECT_EQ(info.dwPlatformId, c.platform);
        EXPECT_EQ(info.dwMajorVersion, c.major);
        EXPECT_EQ(info.dwMinorVersion, c.minor);
        EXPECT_EQ(info.dwBuildNumber, c.build);
        EXPECT_STREQ(info.szCSDVersion, c.servicePack);
        EXPECT_EQ(info.wProductType, c.productType);
        EXPECT_EQ(Api().GetVersion(), c.getVersion);
        info.wSuiteMask = VER_SUITE_TERMINAL;  // asked alone, the rest of the record does not count
        EXPECT_EQ(g_verify(&info, VER_SUITENAME, g_mask(0, VER_SUITENAME, VER_AND)) != FALSE, c.terminalServer);

        COsVersionInfo os;
        EXPECT_EQ(os.IsTerminalServer(), c.terminalServer);
        EXPECT_EQ(os.IsMetaFrame(), c.metaFrame);
        EXPECT_EQ(os.IsWinFrame(), c.winFrame);
    }
    // Sizes other than the two records are refused.
    for (DWORD size : {0u, 147u, 149u, 155u, 157u}) {
        OSVERSIONINFOEXA other{};
        other.dwOSVersionInfoSize = size;
        Api().SetLastError(0);
        EXPECT_FALSE(Api().GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&other))) << size;
        EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
}

TEST(Version, VerifyVersionInfoHoldsOnlyWhenEveryPartAskedForHolds) {
    Describe("nt40-terminal-server");
    EXPECT_EQ(g_mask(5, VER_MINORVERSION, 0), 5ull);  // no condition: unchanged

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
            conditions = g_mask(conditions, type, c.condition);
        }
        Api().SetLastError(0);
        const BOOL result = g_verify(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, conditions);
        EXPECT_EQ(result != FALSE, c.expected) << c.major << "." << c.minor << " sp" << c.servicePack;
        if (!c.expected) {
            EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
        }
    }
    OSVERSIONINFOEXA platform{};
    platform.dwOSVersionInfoSize = sizeof platform;
    platform.dwPlatformId = VER_PLATFORM_WIN32_NT;
    EXPECT_TRUE(g_verify(&platform, VER_PLATFORMID, g_mask(0, VER_PLATFORMID, VER_EQUAL)));
    platform.wProductType = 3;  // a server
    EXPECT_TRUE(g_verify(&platform, VER_PRODUCT_TYPE, g_mask(0, VER_PRODUCT_TYPE, VER_EQUAL)));
    platform.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;  // every part asked for must hold, not one
    EXPECT_FALSE(g_verify(&platform, VER_PRODUCT_TYPE | VER_PLATFORMID,
                          g_mask(g_mask(0, VER_PRODUCT_TYPE, VER_EQUAL), VER_PLATFORMID, VER_EQUAL)));
    EXPECT_FALSE(g_verify(&platform, 0, 0));
    // A suite list that is no REG_MULTI_SZ lists nothing.
    HKEY options = nullptr;
    Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ProductOptions", 0, KEY_SET_VALUE,
                        &options);
    Api().RegSetValueExA(options, "ProductSuite", 0, REG_SZ, reinterpret_cast<const BYTE*>("Terminal Server"), 16);
    Api().RegCloseKey(options);
    platform.wSuiteMask = VER_SUITE_TERMINAL;
    EXPECT_FALSE(g_verify(&platform, VER_SUITENAME, g_mask(0, VER_SUITENAME, VER_AND)));
}

}  // namespace
