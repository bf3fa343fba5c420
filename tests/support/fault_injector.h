// Makes the N-th call of one seam entry fail with a chosen Win32 code, once or
// from then on. A scenario is looped over N = 1, 2, ... until a run no longer
// reaches the N-th call: then every failure path of that entry has been taken.
//
//   ForEachFailure<&Win32Api::CreateFileA>(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE, [&](int n) {
//       HandleLedger ledger;
//       RunScenario();
//       EXPECT_TRUE(ledger.Balanced()) << "failing call " << n;
//   });
//
// The failing call sets the thread's last error to the code and returns the
// given value; entries that report their code as the result (the registry)
// take the code as that value.
#pragma once

#include <functional>

#include "win32/api.h"

namespace testing_support {

template <auto Member, typename Signature>
struct FaultEntry;

template <auto Member, typename R, typename... A>
struct FaultEntry<Member, R(WINAPI*)(A...)> {
    using Function = R(WINAPI*)(A...);

    static R WINAPI Call(A... args) {
        ++s_calls;
        if (s_failAt > 0 && (s_calls == s_failAt || (s_persistent && s_calls > s_failAt))) {
            ++s_failures;
            Api().SetLastError(s_code);
            return s_value;
        }
        return s_next(args...);
    }

    static inline Function s_next = nullptr;
    static inline R s_value{};
    static inline DWORD s_code = 0;
    static inline int s_failAt = 0;
    static inline bool s_persistent = false;
    static inline int s_calls = 0;
    static inline int s_failures = 0;
};

// While it lives, the `failAt`-th call of the entry fails (and, when
// `persistent`, every call after it). 0 fails nothing and only counts.
template <auto Member>
class FaultInjector {
    using Entry = FaultEntry<Member, std::remove_reference_t<decltype(std::declval<Win32Api&>().*Member)>>;

public:
    template <typename R>
    FaultInjector(int failAt, DWORD code, R value, bool persistent = false) {
        Entry::s_next = Api().*Member;
        Entry::s_value = value;
        Entry::s_code = code;
        Entry::s_failAt = failAt;
        Entry::s_persistent = persistent;
        Entry::s_calls = 0;
        Entry::s_failures = 0;
        m_api.operator->()->*Member = &Entry::Call;
    }

    int Calls() const { return Entry::s_calls; }
    int Failures() const { return Entry::s_failures; }

private:
    ApiOverride m_api;
};

// Runs `scenario(n)` with the n-th call failing, for n = 1, 2, ... until a run
// makes fewer than n calls. Returns how many failure paths were taken.
template <auto Member, typename R>
int ForEachFailure(DWORD code, R value, const std::function<void(int)>& scenario, bool persistent = false) {
    for (int n = 1;; ++n) {
        FaultInjector<Member> injector(n, code, value, persistent);
        scenario(n);
        if (injector.Calls() < n) {
            return n - 1;
        }
    }
}

}  // namespace testing_support
