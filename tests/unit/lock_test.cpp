// CCriticalSectionAuto and CreateOpenSecurityDescriptor through the seam, on the
// platform's real mutexes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvtr/module.h"
#include "qvtr/sync.h"
#include "win32/api.h"

namespace {

// A name no other test run shares.
std::string UniqueName(const char* what) {
    static int counter = 0;
    return std::string("qvtr-lock-test-") + what + "-" + std::to_string(Api().GetCurrentProcessId()) + "-" +
           std::to_string(++counter);
}

std::string Hex(HANDLE handle) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

// Fakes and counters through the seam; each test resets what it uses.
std::mutex g_traceMutex;
std::vector<std::string> g_traceLines;
int g_releases = 0;
int g_closes = 0;
int g_waits = 0;
int g_frees = 0;
bool g_allocFails = false;
bool g_initFails = false;
bool g_daclFails = false;

void WINAPI CollectLine(LPCSTR line) {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    const std::string text = line;
    g_traceLines.push_back(text.size() > 10 ? text.substr(10) : text);  // without "%08X: "
}

BOOL WINAPI CountingRelease(HANDLE h) {
    ++g_releases;
    return BackendApi().ReleaseMutex(h);
}

BOOL WINAPI CountingClose(HANDLE h) {
    ++g_closes;
    return BackendApi().CloseHandle(h);
}

DWORD WINAPI CountingWait(HANDLE h, DWORD ms) {
    ++g_waits;
    return BackendApi().WaitForSingleObject(h, ms);
}

HANDLE WINAPI DeniedCreate(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) {
    Api().SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

void WINAPI ClobberingOutput(LPCSTR) {
    Api().SetLastError(ERROR_INVALID_FUNCTION);
}

HLOCAL WINAPI MaybeAlloc(UINT flags, SIZE_T size) {
    return g_allocFails ? nullptr : BackendApi().LocalAlloc(flags, size);
}

HLOCAL WINAPI CountingFree(HLOCAL block) {
    ++g_frees;
    return BackendApi().LocalFree(block);
}

BOOL WINAPI MaybeInit(PSECURITY_DESCRIPTOR sd, DWORD revision) {
    return g_initFails ? FALSE : BackendApi().InitializeSecurityDescriptor(sd, revision);
}

BOOL WINAPI MaybeSetDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL acl, BOOL defaulted) {
    return g_daclFails ? FALSE : BackendApi().SetSecurityDescriptorDacl(sd, present, acl, defaulted);
}

// Collects the trace lines written up to `level`, without their process-id prefix.
class TraceLines {
public:
    explicit TraceLines(int32_t level)
        : m_level(g_Module.m_nDebugLevel), m_debugString(g_Module.m_bDebugString), m_logPath(g_Module.m_strLogPath) {
        g_Module.m_nDebugLevel = level;
        g_Module.m_bDebugString = true;
        g_Module.m_strLogPath.clear();
        std::lock_guard<std::mutex> lock(g_traceMutex);
        g_traceLines.clear();
        m_override->OutputDebugStringA = CollectLine;
    }
    ~TraceLines() {
        g_Module.m_nDebugLevel = m_level;
        g_Module.m_bDebugString = m_debugString;
        g_Module.m_strLogPath = m_logPath;
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        return g_traceLines;
    }

private:
    ApiOverride m_override;
    int32_t m_level;
    bool m_debugString;
    std::string m_logPath;
};

// Whether another thread can own the mutex of `name` within `ms`.
bool OtherThreadCanOwn(const std::string& name, DWORD ms) {
    bool owned = false;
    std::thread other([&] {
        HANDLE mutex = Api().CreateMutexA(nullptr, FALSE, name.c_str());
        const DWORD result = Api().WaitForSingleObject(mutex, ms);
        owned = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        if (owned) {
            Api().ReleaseMutex(mutex);
        }
        Api().CloseHandle(mutex);
    });
    other.join();
    return owned;
}

TEST(CriticalSectionAuto, SecondThreadEntersOnlyAfterTheFirstReleases) {
    const std::string name = UniqueName("threads");
    auto first = std::make_unique<CCriticalSectionAuto>(name.c_str());
    ASSERT_NE(first->m_hMutex, nullptr);

    std::atomic<bool> released{false};
    std::atomic<bool> entered{false};
    bool enteredAfterRelease = false;
    std::thread second([&] {
        CCriticalSectionAuto lock(name.c_str());
        enteredAfterRelease = released.load();
        entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(entered.load());
    released = true;
    first.reset();
    second.join();
    EXPECT_TRUE(entered.load());
    EXPECT_TRUE(enteredAfterRelease);
}

TEST(CriticalSectionAuto, NestsOnOneThreadAndFreesAfterBothReleases) {
    const std::string name = UniqueName("nested");
    CCriticalSectionAuto outer(name.c_str());
    CCriticalSectionAuto inner(name.c_str());  // must not block
    ASSERT_NE(outer.m_hMutex, nullptr);
    ASSERT_NE(inner.m_hMutex, nullptr);
    EXPECT_NE(outer.m_hMutex, inner.m_hMutex);

    inner.Release();
    EXPECT_FALSE(OtherThreadCanOwn(name, 50)) << "the outer lock still holds the mutex";
    outer.Release();
    EXPECT_TRUE(OtherThreadCanOwn(name, 5000));
}

TEST(CriticalSectionAuto, ReleaseThenDestructionReleasesOnce) {
    const std::string name = UniqueName("release");
    TraceLines trace(6);
    g_releases = g_closes = 0;
    ApiOverride counting;
    counting->ReleaseMutex = CountingRelease;
    counting->CloseHandle = CountingClose;
    {
        CCriticalSectionAuto lock(name.c_str());
        lock.Release();
        EXPECT_EQ(lock.m_hMutex, nullptr);
        lock.Release();
    }
    EXPECT_EQ(g_releases, 1);
    EXPECT_EQ(g_closes, 1);
    int releasedLines = 0;
    for (const std::string& line : trace.Lines()) {
        releasedLines += line.find("released") != std::string::npos;
    }
    EXPECT_EQ(releasedLines, 1);
    EXPECT_TRUE(OtherThreadCanOwn(name, 5000));
}

TEST(CriticalSectionAuto, TracesCreationOwnershipAndReleaseAtLevelSix) {
    const std::string name = UniqueName("trace");
    TraceLines trace(6);
    HANDLE first = nullptr;
    HANDLE second = nullptr;
    {
        CCriticalSectionAuto creator(name.c_str());
        first = creator.m_hMutex;
        CCriticalSectionAuto opener(name.c_str());
        second = opener.m_hMutex;
    }
    const std::vector<std::string> expected = {
        "Mutex " + name + " - " + Hex(first) + ": 00000000\n",
        "In Critical Section " + Hex(first) + "\n",
        "Mutex " + name + " - " + Hex(second) + ": 000000B7\n",
        "In Critical Section " + Hex(second) + "\n",
        "Mutex " + Hex(second) + " released\n",
        "Mutex " + Hex(first) + " released\n",
    };
    EXPECT_EQ(trace.Lines(), expected);
}

TEST(CriticalSectionAuto, TracesNothingBelowLevelSix) {
    const std::string name = UniqueName("quiet");
    TraceLines trace(5);
    { CCriticalSectionAuto lock(name.c_str()); }
    EXPECT_TRUE(trace.Lines().empty());
}

TEST(CriticalSectionAuto, NameOfAnEventGivesAnEmptyLockWithoutWaiting) {
    const std::string name = UniqueName("event");
    HANDLE event = Api().CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    TraceLines trace(6);
    g_waits = 0;
    ApiOverride counting;
    counting->WaitForSingleObject = CountingWait;
    {
        CCriticalSectionAuto lock(name.c_str());
        EXPECT_EQ(lock.m_hMutex, nullptr);
        EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_EQ(g_waits, 0);
    const std::vector<std::string> expected = {"Mutex " + name + " - 00000000: 00000006\n"};
    EXPECT_EQ(trace.Lines(), expected);
    Api().CloseHandle(event);
}

TEST(CriticalSectionAuto, CreationFailureLeavesItsErrorDespiteTheTrace) {
    TraceLines trace(6);
    ApiOverride failing;
    failing->CreateMutexA = DeniedCreate;
    // The trace line's own platform calls must not replace the creation's error.
    failing->OutputDebugStringA = ClobberingOutput;
    CCriticalSectionAuto lock("denied");
    EXPECT_EQ(lock.m_hMutex, nullptr);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(OpenSecurityDescriptor, HasAPresentNullDaclAndOpensANamedObject) {
    PSECURITY_DESCRIPTOR block = CreateOpenSecurityDescriptor();
    ASSERT_NE(block, nullptr);
    const auto* descriptor = static_cast<const SECURITY_DESCRIPTOR*>(block);
    EXPECT_EQ(descriptor->Revision, SECURITY_DESCRIPTOR_REVISION);
    EXPECT_NE(descriptor->Control & SE_DACL_PRESENT, 0);
    EXPECT_EQ(descriptor->Control & SE_DACL_DEFAULTED, 0);
    EXPECT_EQ(descriptor->Dacl, nullptr);

    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = block;
    attributes.bInheritHandle = TRUE;
    HANDLE mutex = Api().CreateMutexA(&attributes, FALSE, UniqueName("open").c_str());
    EXPECT_NE(mutex, nullptr);
    Api().CloseHandle(mutex);
    Api().LocalFree(block);
}

// Every step that can fail: the result is null and the block, if any, is freed.
TEST(OpenSecurityDescriptor, AnyFailingStepGivesNullAndFreesTheBlock) {
    struct Case {
        const char* step;
        bool allocFails, initFails, daclFails;
        int frees;
    };
    const Case cases[] = {
        {"allocation", true, false, false, 0},
        {"initialisation", false, true, false, 1},
        {"DACL", false, false, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        g_allocFails = c.allocFails;
        g_initFails = c.initFails;
        g_daclFails = c.daclFails;
        g_frees = 0;
        ApiOverride o;
        o->LocalAlloc = MaybeAlloc;
        o->LocalFree = CountingFree;
        o->InitializeSecurityDescriptor = MaybeInit;
        o->SetSecurityDescriptorDacl = MaybeSetDacl;
        EXPECT_EQ(CreateOpenSecurityDescriptor(), nullptr);
        EXPECT_EQ(g_frees, c.frees);
    }
}

}  // namespace
