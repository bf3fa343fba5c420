// The session binding against the stand-in WTSAPI32.DLL and WFAPI.DLL, loaded
// by the platform's own loader from beside this program.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qvtr/platform.h"
#include "support/machine_facts.h"
#include "support/support.h"
#include "support/trace_capture.h"
#include "win32/api.h"

using testing_support::PlatformPath;
using testing_support::ScopedEnv;
using testing_support::ScopedMachineFacts;
using testing_support::TraceCapture;

namespace {

// The stand-ins' answers, one variable each (null: the stand-in's default).
struct Answers {
    const char* wtsSession;
    const char* wtsClient;
    const char* wtsFail;
    const char* wtsUnterminated;
    const char* wfSession;
    const char* wfClient;
    const char* wfFail;
    const char* wfUnterminated;
};

class ScopedAnswers {
public:
    explicit ScopedAnswers(const Answers& a) {
        Set("QVTR_STANDIN_WTS_SESSION", a.wtsSession);
        Set("QVTR_STANDIN_WTS_CLIENT", a.wtsClient);
        Set("QVTR_STANDIN_WTS_FAIL", a.wtsFail);
        Set("QVTR_STANDIN_WTS_UNTERMINATED", a.wtsUnterminated);
        Set("QVTR_STANDIN_WF_SESSION", a.wfSession);
        Set("QVTR_STANDIN_WF_CLIENT", a.wfClient);
        Set("QVTR_STANDIN_WF_FAIL", a.wfFail);
        Set("QVTR_STANDIN_WF_UNTERMINATED", a.wfUnterminated);
    }

private:
    void Set(const char* name, const char* value) { m_env.emplace_back(new ScopedEnv(name, value)); }
    std::vector<std::unique_ptr<ScopedEnv>> m_env;
};

std::string ComputerName() {
    char name[QVTR_CLIENT_NAME_SIZE] = {};
    DWORD size = sizeof name;
    Api().GetComputerNameA(name, &size);
    return name;
}

typedef long (*StandinCounter)();

// Asks a loaded stand-in how many of its buffers were never given back.
long Outstanding(HMODULE library) {
    if (library == nullptr) {
        return 0;
    }
    FARPROC proc = Api().GetProcAddress(library, "QvtrStandinOutstanding");
    EXPECT_NE(proc, nullptr);
    return proc ? reinterpret_cast<StandinCounter>(reinterpret_cast<void (*)()>(proc))() : -1;
}

long Queries(HMODULE library) {
    FARPROC proc = library ? Api().GetProcAddress(library, "QvtrStandinQueries") : nullptr;
    return proc ? reinterpret_cast<StandinCounter>(reinterpret_cast<void (*)()>(proc))() : 0;
}

const char kSixty[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz01234567";
const char kComputer[] = "<computer>";  // stands for this machine's name in the table

struct StandinCase {
    const char* name;
    bool terminalServer, metaFrame, winFrame;
    Answers answers;
    DWORD sessionId;
    SessionPlatform platform;
    std::string clientName;
    bool wtsAsked;
};

const std::vector<StandinCase>& Cases() {
    static const std::vector<StandinCase> cases = {
        {"IcaClient",
         true,
         true,
         false,
         {"3", "TSNAME", nullptr, nullptr, "7", "ICACLIENT", nullptr, nullptr},
         7,
         SessionPlatform::Citrix,
         "ICACLIENT",
         false},
        {"CitrixConsole",
         true,
         true,
         false,
         {"3", "TSNAME", nullptr, nullptr, "0", "UNUSED", nullptr, nullptr},
         0,
         SessionPlatform::Citrix,
         kComputer,
         false},
        {"DirectIcaAnsweredByTerminalServices",
         true,
         true,
         false,
         {"9", "TSNAME", nullptr, nullptr, "5", nullptr, "client", nullptr},
         9,
         SessionPlatform::Wts,
         "TSNAME",
         true},
        {"DirectIcaWithoutTerminalServices",
         false,
         true,
         false,
         {nullptr, nullptr, nullptr, nullptr, "5", nullptr, "client", nullptr},
         5,
         SessionPlatform::Citrix,
         kComputer,
         false},
        {"WinFrame",
         false,
         false,
         true,
         {nullptr, nullptr, nullptr, nullptr, "12", "WFCLIENT", nullptr, nullptr},
         12,
         SessionPlatform::Citrix,
         "WFCLIENT",
         false},
        {"TerminalServerWithoutCitrix",
         true,
         false,
         false,
         {"2", "THINBOX", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
         2,
         SessionPlatform::Wts,
         "THINBOX",
         true},
        {"TerminalServicesClientNameFails",
         true,
         false,
         false,
         {"4", nullptr, "client", nullptr, nullptr, nullptr, nullptr, nullptr},
         4,
         SessionPlatform::None,
         "",
         true},
        {"NoSessionAnywhere",
         true,
         true,
         false,
         {nullptr, nullptr, "session,client", nullptr, nullptr, nullptr, "session", nullptr},
         0,
         SessionPlatform::None,
         "",
         true},
        {"UnterminatedTerminalServicesName",
         true,
         false,
         false,
         {"6", "NONUL", nullptr, "1", nullptr, nullptr, nullptr, nullptr},
         6,
         SessionPlatform::Wts,
         "NONUL",
         true},
        {"UnterminatedSixtyCharacterCitrixName",
         false,
         true,
         false,
         {nullptr, nullptr, nullptr, nullptr, "8", kSixty, nullptr, "1"},
         8,
         SessionPlatform::Citrix,
         std::string(kSixty, 50),
         false},
    };
    return cases;
}

class StandinTable : public testing::TestWithParam<StandinCase> {};

TEST_P(StandinTable, BindsTheLoadedLibraries) {
    const StandinCase& c = GetParam();
    ScopedMachineFacts machine(c.terminalServer, c.metaFrame, c.winFrame);
    ScopedAnswers answers(c.answers);
    const std::string expectedName = c.clientName == kComputer ? ComputerName() : c.clientName;
    // Held across the case, so the stand-in's counters count this case only.
    HMODULE const wts = Api().LoadLibraryA("WTSAPI32.DLL");
    ASSERT_NE(wts, nullptr) << "WTSAPI32.DLL is not beside the test program";
    const long wtsQueriesBefore = Queries(wts);

    CWMU wmu;
    SessionIdentity identity;
    std::memset(&identity, 0, sizeof identity);
    QuerySessionIdentity(wmu, 0, false, identity);

    EXPECT_EQ(identity.m_dwSessionId, c.sessionId);
    EXPECT_EQ(identity.m_ePlatform, c.platform);
    EXPECT_EQ(std::string(identity.m_szClientName), expectedName);
    EXPECT_EQ(wmu.m_hWtsApi != nullptr, c.terminalServer);
    EXPECT_EQ(wmu.m_hWfApi != nullptr, c.metaFrame || c.winFrame);
    EXPECT_EQ(Queries(wts) > wtsQueriesBefore, c.wtsAsked);
    EXPECT_EQ(Outstanding(wts), 0);
    EXPECT_EQ(Outstanding(wmu.m_hWfApi), 0);
    Api().FreeLibrary(wts);
}

INSTANTIATE_TEST_SUITE_P(Standins, StandinTable, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<StandinCase>& info) { return info.param.name; });

TEST(Standins, AnIcaSessionTracesEveryStep) {
    ScopedMachineFacts machine(true, true, false);
    ScopedAnswers answers({"3", "TSNAME", nullptr, nullptr, "7", "ICACLIENT", nullptr, nullptr});
    TraceCapture trace;
    {
        CWMU wmu;
        SessionIdentity identity;
        std::memset(&identity, 0, sizeof identity);
        QuerySessionIdentity(wmu, 0, true, identity);
        EXPECT_STREQ(identity.m_szClientName, "/ICACLIENT");
    }
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                                 "WMU::Open, TSE Platform\n",
                                 "WMU::Open, CITRIX Platform\n",
                                 "WMU::Open, WTS DLL loaded\n",
                                 "WMU::Open, WF DLL loaded\n",
                                 "Called WFQuerySessionInformation for session ID: Ok, 00000007\n",
                                 "Called WFQuerySessionInformation for client name: Ok\n",
                                 "Client name: ICACLIENT\n",
                                 "WMU DLL loaded session ID 00000007 and client name ICACLIENT\n",
                                 "Closing WTS DLL\n",
                                 "Closing WF DLL\n",
                             }));
}

TEST(Standins, AMissingCitrixLibraryIsTracedOnEveryOpen) {
    ScopedMachineFacts machine(true, false, false);
    ScopedAnswers answers({"2", "THINBOX", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr});
    TraceCapture trace;
    CWMU wmu;
    for (int call = 0; call < 3; ++call) {
        EXPECT_TRUE(wmu.Open());
    }
    const std::string failed = "WMU::Open, LoadLibrary WF failed ";
    int failedLines = 0;
    for (const std::string& line : trace.Lines()) {
        failedLines += line.compare(0, failed.size(), failed) == 0 ? 1 : 0;
    }
    EXPECT_EQ(failedLines, 3);
}

// The incomplete Citrix stand-in lacks WFSendMessageA; it is reached through the
// real loader by its own path.
HMODULE WINAPI LoadIncompleteCitrix(LPCSTR name) {
    if (std::strcmp(name, "WFAPI.DLL") == 0) {
        return BackendApi().LoadLibraryA(PlatformPath(QVTR_STANDIN_INCOMPLETE_DIR "WFAPI.DLL").c_str());
    }
    return BackendApi().LoadLibraryA(name);
}

TEST(Standins, ALibraryWithoutItsMessageFunctionGivesTheDefaults) {
    ScopedMachineFacts machine(false, true, false);
    ScopedAnswers answers({nullptr, nullptr, nullptr, nullptr, "7", "ICACLIENT", nullptr, nullptr});
    ApiOverride o;
    o->LoadLibraryA = LoadIncompleteCitrix;
    TraceCapture trace;

    CWMU wmu;
    SessionIdentity identity;
    std::memset(&identity, 0, sizeof identity);
    QuerySessionIdentity(wmu, 0, false, identity);

    ASSERT_NE(wmu.m_hWfApi, nullptr) << "the incomplete stand-in was not found";
    EXPECT_EQ(identity.m_dwSessionId, 0u);
    EXPECT_EQ(identity.m_ePlatform, SessionPlatform::None);
    EXPECT_EQ(std::string(identity.m_szClientName), ComputerName());
    EXPECT_EQ(Queries(wmu.m_hWfApi), 0);
    EXPECT_EQ(trace.Lines().back(),
              "WMU DLL not loaded session ID defaults to 0 and client name to " + ComputerName() + "\n");
}

}  // namespace
