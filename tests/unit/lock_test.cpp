// CCriticalSectionAuto and CreateOpenSecurityDescriptor through the seam, on the
// platform's real mutexes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "qvtr/module.h"
#include "qvtr/sync.h"
#include "support/fault_injector.h"
#include "support/handle_ledger.h"
#include "support/trace_capture.h"
#include "win32/api.h"

namespace {

using testing_support::FaultInjector;
using testing_support::HandleLedger;
using testing_support::TraceCapture;

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

void WINAPI ClobberingOutput(LPCSTR) {
    Api().SetLastError(ERROR_INVALID_FUNCTION);
}

// Whether another thread can own the mutex of `name` within `ms`.
bool OtherThreadCanOwn(const std::string& name, DWORD ms) {
    HANDLE mutex = Api().CreateMutexA(nullptr, FALSE, name.c_str());
    DWORD result = WAIT_FAILED;
    std::thread([&] {
        result = Api().WaitForSingleObject(mutex, ms);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            Api().ReleaseMutex(mutex);
        }
    }).join();
    Api().CloseHandle(mutex);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

// Releasing early and then again, or by destruction, lets go only once: the
// outer lock of the nested pair still holds the mutex.
TEST(CriticalSectionAuto, NestsOnOneThreadAndReleasesOnce) {
    const std::string name = UniqueName("nested");
    HandleLedger ledger;
    {
        CCriticalSectionAuto outer(name.c_str());
        CCriticalSectionAuto inner(name.c_str());  // must not block
        ASSERT_NE(inner.m_hMutex, nullptr);
        EXPECT_NE(outer.m_hMutex, inner.m_hMutex);
        inner.Release();
        EXPECT_EQ(inner.m_hMutex, nullptr);
        inner.Release();
        EXPECT_FALSE(OtherThreadCanOwn(name, 50)) << "the outer lock still holds the mutex";
    }
    EXPECT_TRUE(OtherThreadCanOwn(name, 5000));
    EXPECT_TRUE(ledger.Balanced()) << ledger.Describe();
}

// Creation, ownership and release are traced at level 6 only; the name of an
// event gives an empty lock that never waits.
TEST(CriticalSectionAuto, TracesCreationOwnershipAndReleaseOnlyAtLevelSix) {
    const std::string name = UniqueName("trace");
    const std::string eventName = UniqueName("event");
    {
        TraceCapture quiet(5);
        { CCriticalSectionAuto lock(name.c_str()); }
        EXPECT_TRUE(quiet.Lines().empty()) << "nothing below level 6";
    }
    HANDLE event = Api().CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(event, nullptr);
    TraceCapture trace(6);
    HANDLE first = nullptr;
    HANDLE second = nullptr;
    {
        CCriticalSectionAuto creator(name.c_str());
        first = creator.m_hMutex;
        CCriticalSectionAuto opener(name.c_str());
        second = opener.m_hMutex;
    }
    {
        CCriticalSectionAuto lock(eventName.c_str());
        EXPECT_EQ(lock.m_hMutex, nullptr);
        EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    const std::vector<std::string> expected = {
        "Mutex " + name + " - " + Hex(first) + ": 00000000\n",
        "In Critical Section " + Hex(first) + "\n",
        "Mutex " + name + " - " + Hex(second) + ": 000000B7\n",
        "In Critical Section " + Hex(second) + "\n",
        "Mutex " + Hex(second) + " released\n",
        "Mutex " + Hex(first) + " released\n",
        "Mutex " + eventName + " - 00000000: 00000006\n",
    };
    EXPECT_EQ(trace.Lines(), expected);
    Api().CloseHandle(event);
}

TEST(CriticalSectionAuto, CreationFailureLeavesItsErrorDespiteTheTrace) {
    TraceCapture trace(6);
    FaultInjector<&Win32Api::CreateMutexA> denied(1, ERROR_ACCESS_DENIED, HANDLE{});
    // The trace line's own platform calls must not replace the creation's error.
    ApiOverride clobbering;
    clobbering->OutputDebugStringA = ClobberingOutput;
    CCriticalSectionAuto lock("denied");
    EXPECT_EQ(lock.m_hMutex, nullptr);
    EXPECT_EQ(Api().GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// The frees made while the `Member` step of building the descriptor fails.
template <auto Member, typename R>
int FreesWhenFailing(R value) {
    FaultInjector<Member> failing(1, ERROR_INVALID_PARAMETER, value);
    FaultInjector<&Win32Api::LocalFree> frees(0, 0, HLOCAL{});
    EXPECT_EQ(CreateOpenSecurityDescriptor(), nullptr);
    return frees.Calls();
}

// The descriptor opens a named object to all; when any step of making it fails
// the result is null and the block is freed.
TEST(OpenSecurityDescriptor, HasAPresentNullDaclOrIsNullAndFreed) {
    PSECURITY_DESCRIPTOR block = CreateOpenSecurityDescriptor();
    ASSERT_NE(block, nullptr);
    const auto* descriptor = static_cast<const SECURITY_DESCRIPTOR*>(block);
    EXPECT_EQ(descriptor->Revision, SECURITY_DESCRIPTOR_REVISION);
    EXPECT_EQ(descriptor->Control & (SE_DACL_PRESENT | SE_DACL_DEFAULTED), SE_DACL_PRESENT);
    EXPECT_EQ(descriptor->Dacl, nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, block, TRUE};
    HANDLE mutex = Api().CreateMutexA(&attributes, FALSE, UniqueName("open").c_str());
    EXPECT_NE(mutex, nullptr);
    Api().CloseHandle(mutex);
    Api().LocalFree(block);

    EXPECT_EQ(FreesWhenFailing<&Win32Api::LocalAlloc>(HLOCAL{}), 0);
    EXPECT_EQ(FreesWhenFailing<&Win32Api::InitializeSecurityDescriptor>(BOOL{FALSE}), 1);
    EXPECT_EQ(FreesWhenFailing<&Win32Api::SetSecurityDescriptorDacl>(BOOL{FALSE}), 1);
}

}  // namespace
