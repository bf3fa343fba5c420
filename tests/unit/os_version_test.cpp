// The version snapshot of COsVersionInfo, through the fake's GetVersionExA.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qvtr/platform.h"
#include "support/fake_registry.h"
#include "win32/api.h"

using testing_support::FakeRegistry;

namespace {

TEST(OsVersion, SnapshotHoldsTheMachinesVersion) {
    struct Case {
        const char* name;
        void (FakeRegistry::*setup)();
        DWORD platformId, major, minor, build;
        const char* servicePack;
    } cases[] = {
        {"NT 3.51", &FakeRegistry::SetNt351, VER_PLATFORM_WIN32_NT, 3, 51, 1057, "Service Pack 5"},
        {"NT 4.0", &FakeRegistry::SetNt40, VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6"},
        {"Windows 2000", &FakeRegistry::SetWindows2000, VER_PLATFORM_WIN32_NT, 5, 0, 2195, ""},
        {"Windows 98", &FakeRegistry::SetWindows98, VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222, " A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRegistry reg;
        (reg.*c.setup)();
        COsVersionInfo os;
        EXPECT_EQ(os.m_osvi.dwPlatformId, c.platformId);
        EXPECT_EQ(os.m_osvi.dwMajorVersion, c.major);
        EXPECT_EQ(os.m_osvi.dwMinorVersion, c.minor);
        EXPECT_EQ(os.m_osvi.dwBuildNumber, c.build);
        EXPECT_STREQ(os.m_osvi.szCSDVersion, c.servicePack);

        // One question, with the plain record's size.
        auto calls = reg.Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].function, "GetVersionExA");
        EXPECT_EQ(calls[0].index, 148u);
    }
}

TEST(OsVersion, SnapshotIsNeverRefreshed) {
    FakeRegistry reg;
    reg.SetNt40();
    COsVersionInfo os;
    reg.SetWindows98();
    EXPECT_EQ(os.m_osvi.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(os.m_osvi.dwMajorVersion, 4u);
}

TEST(OsVersion, FailedQueryLeavesAZeroRecord) {
    FakeRegistry reg;
    reg.FailVersionQuery(true);
    COsVersionInfo os;
    EXPECT_EQ(os.m_osvi.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(os.m_osvi.dwPlatformId, 0u);
    EXPECT_EQ(os.m_osvi.dwMajorVersion, 0u);
    EXPECT_EQ(os.m_osvi.dwMinorVersion, 0u);
    EXPECT_EQ(os.m_osvi.dwBuildNumber, 0u);
    EXPECT_STREQ(os.m_osvi.szCSDVersion, "");
    EXPECT_FALSE(os.m_bWinFrameKnown || os.m_bMetaFrameKnown || os.m_bTerminalServerKnown);
}

TEST(OsVersion, LocalInstanceStartsWithNothingKnown) {
    COsVersionInfo& shared = g_OsVersionInfo;
    const bool saved[3] = {shared.m_bWinFrameKnown, shared.m_bMetaFrameKnown, shared.m_bTerminalServerKnown};
    shared.m_bWinFrameKnown = true;
    shared.m_bMetaFrameKnown = true;
    shared.m_bTerminalServerKnown = true;

    COsVersionInfo local;
    EXPECT_FALSE(local.m_bWinFrameKnown);
    EXPECT_FALSE(local.m_bMetaFrameKnown);
    EXPECT_FALSE(local.m_bTerminalServerKnown);

    shared.m_bWinFrameKnown = saved[0];
    shared.m_bMetaFrameKnown = saved[1];
    shared.m_bTerminalServerKnown = saved[2];
}

TEST(OsVersion, SharedInstanceTookTheBackendsAnswerAtLoad) {
    if (BackendApi().GetVersionExA == nullptr) {
        GTEST_SKIP() << "this backend has no version information";
    }
    OSVERSIONINFOA now = {};
    now.dwOSVersionInfoSize = sizeof now;
    ASSERT_TRUE(BackendApi().GetVersionExA(&now));
    const OSVERSIONINFOA& snapshot = g_OsVersionInfo.m_osvi;
    EXPECT_EQ(snapshot.dwOSVersionInfoSize, 148u);
    EXPECT_EQ(snapshot.dwPlatformId, now.dwPlatformId);
    EXPECT_EQ(snapshot.dwMajorVersion, now.dwMajorVersion);
    EXPECT_EQ(snapshot.dwMinorVersion, now.dwMinorVersion);
    EXPECT_EQ(snapshot.dwBuildNumber, now.dwBuildNumber);
    EXPECT_STREQ(snapshot.szCSDVersion, now.szCSDVersion);
}

}  // namespace
