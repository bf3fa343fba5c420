// The process-wide account-domain cache: unset until a lookup succeeds, then
// fixed; concurrent first calls never see half a name. One test, since the
// cache lives as long as the process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qvtr/service.h"
#include "service/fake_scm.h"

namespace {

using namespace service_fakes;

const char kLongDomain[] = "A-DOMAIN-NAME-LONG-ENOUGH-TO-BE-CAUGHT-HALF-WRITTEN-BY-A-READER";
std::atomic<int> g_slowLookups{0};
std::atomic<int> g_tokenOpens{0};
std::atomic<int> g_tokenCloses{0};

// Thread-safe stand-ins for the token calls while many threads look up at once.
BOOL WINAPI CountingOpenProcessToken(HANDLE, DWORD, PHANDLE token) {
    ++g_tokenOpens;
    *token = detail::kToken;
    return TRUE;
}

BOOL WINAPI CountingCloseHandle(HANDLE handle) {
    if (handle == detail::kToken) {
        ++g_tokenCloses;
    }
    return TRUE;
}

// Writes the domain one character at a time, yielding in between.
BOOL WINAPI SlowLookupAccountSidA(LPCSTR, PSID, LPSTR name, LPDWORD nameSize, LPSTR domain, LPDWORD domainSize,
                                  PSID_NAME_USE use) {
    ++g_slowLookups;
    std::memcpy(name, "alice", 6);
    *nameSize = 5;
    for (size_t i = 0; i < sizeof kLongDomain; ++i) {
        domain[i] = kLongDomain[i];
        std::this_thread::yield();
    }
    *domainSize = static_cast<DWORD>(sizeof kLongDomain - 1);
    *use = SidTypeUser;
    return TRUE;
}

TEST(ProcessAccountDomain, UnsetUntilFoundThenFixed) {
    FakeScmScope fake;

    // No token: "*", and the next call tries again.
    fake->tokenFails = true;
    EXPECT_STREQ(GetProcessAccountDomain(), "*");
    EXPECT_STREQ(GetProcessAccountDomain(), "*");

    // A domain lookup that fails after the token opened still closes it.
    fake->tokenFails = false;
    fake->domain = std::string(QVTR_ACCOUNT_DOMAIN_SIZE, 'D');  // does not fit
    EXPECT_STREQ(GetProcessAccountDomain(), "*");
    EXPECT_EQ(fake->tokenOpens, 1);
    EXPECT_EQ(fake->tokenCloses, 1);

    // Many threads make the first successful call at once.
    fake.Table()->LookupAccountSidA = SlowLookupAccountSidA;
    fake.Table()->OpenProcessToken = CountingOpenProcessToken;
    fake.Table()->CloseHandle = CountingCloseHandle;
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int k = 0; k < 50; ++k) {
                if (std::strcmp(GetProcessAccountDomain(), kLongDomain) != 0) {
                    ++wrong;
                }
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(g_slowLookups.load(), 1);
    EXPECT_EQ(g_tokenOpens.load(), g_tokenCloses.load());

    // Found once, kept: no more lookups, even when the account would now differ.
    const int lookups = g_slowLookups.load();
    fake->domain = "OTHER";
    fake.Table()->LookupAccountSidA = detail::LookupAccountSidA;
    const char* cached = GetProcessAccountDomain();
    EXPECT_STREQ(cached, kLongDomain);
    EXPECT_EQ(g_slowLookups.load(), lookups);
    EXPECT_EQ(GetProcessAccountDomain(), cached);
}

}  // namespace
