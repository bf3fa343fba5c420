// Session identity through fakes of the loader, the computer name and both
// terminal-server interfaces, for the machines the stand-in libraries cannot
// describe: libraries missing or incomplete, single-user machines, cut names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qvtr/module.h"
#include "qvtr/platform.h"
#include "support/machine_facts.h"
#include "support/trace_capture.h"
#include "win32/api.h"

using testing_support::ScopedMachineFacts;
using testing_support::TraceCapture;

namespace {

// How a library of the scenario behaves.
enum class Library { Absent, Loaded, NoMessage, NoFree };

// What one interface answers.
struct Answer {
    bool sessionOk;
    DWORD sessionId;
    bool clientOk;
    const char* client;
    bool unterminated;  // the name comes without its NUL, in a buffer just its length
};

const Answer kNoAnswer = {false, 0, false, "", false};

struct Scenario {
    Library wts;
    Library wf;
    Answer wtsAnswer;
    Answer wfAnswer;
};

Scenario g_scenario;
std::vector<std::string> g_calls;  // loader and query calls, in order
int g_outstanding = 0;             // interface buffers not yet freed
int g_loaded = 0;                  // libraries loaded and not yet released
DWORD g_lastError = 0;

HMODULE const kWtsModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x5150000));
HMODULE const kWfModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x6160000));
const DWORD kLeftoverError = 0x57;  // whatever the thread's last error was before
const DWORD kNotFound = 0x7E;       // ERROR_MOD_NOT_FOUND, from a failed load

LPSTR Hand(const void* data, size_t size) {
    void* block = std::malloc(size ? size : 1);
    std::memcpy(block, data, size);
    ++g_outstanding;
    return static_cast<LPSTR>(block);
}

BOOL Query(const char* who, const Answer& answer, int infoClass, LPSTR* buffer, DWORD* bytes) {
    g_calls.push_back(std::string(who) + " query " + std::to_string(infoClass));
    if (infoClass == 4 && answer.sessionOk) {
        *buffer = Hand(&answer.sessionId, sizeof answer.sessionId);
        *bytes = sizeof answer.sessionId;
        return TRUE;
    }
    if (infoClass == 10 && answer.clientOk) {
        const size_t size = std::strlen(answer.client) + (answer.unterminated ? 0 : 1);
        *buffer = Hand(answer.client, size);
        *bytes = static_cast<DWORD>(size);
        return TRUE;
    }
    return FALSE;
}

BOOL WINAPI FakeWtsQuery(HANDLE server, DWORD session, int infoClass, LPSTR* buffer, DWORD* bytes) {
    EXPECT_EQ(server, nullptr);
    EXPECT_EQ(session, 0xFFFFFFFFu);
    return Query("WTS", g_scenario.wtsAnswer, infoClass, buffer, bytes);
}

BOOL WINAPI FakeWfQuery(HANDLE server, DWORD session, int infoClass, LPSTR* buffer, DWORD* bytes) {
    EXPECT_EQ(server, nullptr);
    EXPECT_EQ(session, 0xFFFFFFFFu);
    return Query("WF", g_scenario.wfAnswer, infoClass, buffer, bytes);
}

void WINAPI FakeFree(PVOID memory) {
    --g_outstanding;
    std::free(memory);
}

BOOL WINAPI FakeSend(HANDLE, DWORD, LPSTR, DWORD, LPSTR, DWORD, DWORD, DWORD, DWORD*, BOOL) {
    ADD_FAILURE() << "the message function is never called";
    return FALSE;
}

HMODULE WINAPI FakeLoadLibraryA(LPCSTR name) {
    g_calls.push_back(std::string("load ") + name);
    const bool wts = std::strcmp(name, "WTSAPI32.DLL") == 0;
    const bool wf = std::strcmp(name, "WFAPI.DLL") == 0;
    if ((wts && g_scenario.wts != Library::Absent) || (wf && g_scenario.wf != Library::Absent)) {
        ++g_loaded;
        return wts ? kWtsModule : kWfModule;
    }
    g_lastError = kNotFound;
    return nullptr;
}

BOOL WINAPI FakeFreeLibrary(HMODULE module) {
    g_calls.push_back(module == kWtsModule ? "free WTSAPI32.DLL" : "free WFAPI.DLL");
    --g_loaded;
    return TRUE;
}

template <typename Function>
FARPROC Proc(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
    const std::string n = name;
    const Library library = module == kWtsModule ? g_scenario.wts : g_scenario.wf;
    if ((library == Library::NoMessage && n.find("SendMessage") != std::string::npos) ||
        (library == Library::NoFree && n.find("FreeMemory") != std::string::npos)) {
        return nullptr;
    }
    if (module == kWtsModule) {
        if (n == "WTSQuerySessionInformationA")
            return Proc(FakeWtsQuery);
        if (n == "WTSFreeMemory")
            return Proc(FakeFree);
        if (n == "WTSSendMessageA")
            return Proc(FakeSend);
    } else if (module == kWfModule) {
        if (n == "WFQuerySessionInformationA")
            return Proc(FakeWfQuery);
        if (n == "WFFreeMemory")
            return Proc(FakeFree);
        if (n == "WFSendMessageA")
            return Proc(FakeSend);
    }
    return nullptr;
}

DWORD WINAPI FakeGetLastError() {
    return g_lastError;
}

BOOL WINAPI FakeGetComputerNameA(LPSTR buffer, LPDWORD size) {
    EXPECT_EQ(*size, QVTR_CLIENT_NAME_SIZE);
    const char name[] = "HOSTBOX";
    if (*size < sizeof name) {
        *size = sizeof name;
        return FALSE;
    }
    std::memcpy(buffer, name, sizeof name);
    *size = sizeof name - 1;
    return TRUE;
}

// The seam faked for one scenario; every fake state starts afresh.
class FakeSessionPlatform {
public:
    explicit FakeSessionPlatform(const Scenario& scenario) {
        g_scenario = scenario;
        g_calls.clear();
        g_outstanding = 0;
        g_loaded = 0;
        g_lastError = kLeftoverError;
        m_override->LoadLibraryA = FakeLoadLibraryA;
        m_override->FreeLibrary = FakeFreeLibrary;
        m_override->GetProcAddress = FakeGetProcAddress;
        m_override->GetLastError = FakeGetLastError;
        m_override->GetComputerNameA = FakeGetComputerNameA;
    }

private:
    ApiOverride m_override;
};

struct Machine {
    bool terminalServer, metaFrame, winFrame;
};
const Machine kSingleUser = {false, false, false};
const Machine kTerminalServer = {true, false, false};
const Machine kMetaFrame = {false, true, false};
const Machine kWinFrame = {false, false, true};
const Machine kMetaFrameOnTerminalServer = {true, true, false};

// What only a faked loader can set up; the common sessions run against the
// stand-in libraries under the real loader (standin_session_test).
struct SessionCase {
    const char* name;
    Machine machine;
    Scenario scenario;
    DWORD singleUserSessionId;
    bool slashPrefix;
    DWORD sessionId;
    SessionPlatform platform;
    std::string clientName;
};

const std::string k60 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz01234567";
const Answer kWts2 = {true, 2, true, "THINBOX", false};
const Answer kWf8Long = {true, 8, true, k60.c_str(), false};

const std::vector<SessionCase>& Cases() {
    using L = Library;
    using P = SessionPlatform;
    const Machine &kBoth = kMetaFrameOnTerminalServer, &kTs = kTerminalServer, &kMf = kMetaFrame, &kWf = kWinFrame,
                  &kSu = kSingleUser;
    const Answer& kNo = kNoAnswer;
    const Answer kWts4NoName = {true, 4, false, "", false};
    static const std::vector<SessionCase> cases = {
        {"NeitherLibraryLoads", kBoth, {L::Absent, L::Absent, kNo, kNo}, 0, false, 0, P::None, ""},
        {"SlashPrefixWithEmptyName", kTs, {L::Loaded, L::Absent, kWts4NoName, kNo}, 0, true, 4, P::None, "/"},
        {"NoFreeFunction", kTs, {L::NoFree, L::Absent, kWts2, kNo}, 0, true, 0, P::None, "/HOSTBOX"},
        {"NoMessageFunction", kMf, {L::Absent, L::NoMessage, kNo, kWf8Long}, 0, false, 0, P::None, "HOSTBOX"},
        {"SingleUserMachine", kSu, {L::Loaded, L::Loaded, kNo, kNo}, 0x2A, false, 0x2A, P::None, "HOSTBOX"},
        {"SingleUserMachineWithSlash", kSu, {L::Loaded, L::Loaded, kNo, kNo}, 0, true, 0, P::None, "/HOSTBOX"},
        {"LongNameIsCut", kWf, {L::Absent, L::Loaded, kNo, kWf8Long}, 0, false, 8, P::Citrix, k60.substr(0, 50)},
        {"LongNameWithSlashKeeps49",
         kMf,
         {L::Absent, L::Loaded, kNo, kWf8Long},
         0,
         true,
         8,
         P::Citrix,
         "/" + k60.substr(0, 49)},
    };
    return cases;
}

class SessionTable : public testing::TestWithParam<SessionCase> {};

TEST_P(SessionTable, NamesTheSessionAndReleasesEverything) {
    const SessionCase& c = GetParam();
    ScopedMachineFacts machine(c.machine.terminalServer, c.machine.metaFrame, c.machine.winFrame);
    FakeSessionPlatform platform(c.scenario);

    SessionIdentity identity;
    std::memset(&identity, 0, sizeof identity);
    {
        CWMU wmu;
        QuerySessionIdentity(wmu, c.singleUserSessionId, c.slashPrefix, identity);
    }

    EXPECT_EQ(identity.m_dwSessionId, c.sessionId);
    EXPECT_EQ(identity.m_ePlatform, c.platform);
    EXPECT_EQ(std::string(identity.m_szClientName), c.clientName);
    EXPECT_EQ(g_outstanding, 0);
    EXPECT_EQ(g_loaded, 0);
}

INSTANTIATE_TEST_SUITE_P(Sessions, SessionTable, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<SessionCase>& info) { return info.param.name; });

TEST(Session, LaterOpensLoadNothingAgainAndTraceTheMissingLibraryEachTime) {
    ScopedMachineFacts machine(true, false, false);
    FakeSessionPlatform platform({Library::Loaded, Library::Absent, {true, 2, true, "THINBOX", false}, kNoAnswer});
    TraceCapture trace;
    CWMU wmu;

    for (int call = 0; call < 2; ++call) {
        SessionIdentity identity;
        std::memset(&identity, 0, sizeof identity);
        QuerySessionIdentity(wmu, 0, false, identity);
        EXPECT_EQ(identity.m_ePlatform, SessionPlatform::Wts);
        EXPECT_STREQ(identity.m_szClientName, "THINBOX");
    }

    EXPECT_EQ(std::count(g_calls.begin(), g_calls.end(), "load WTSAPI32.DLL"), 1);
    EXPECT_EQ(std::count(g_calls.begin(), g_calls.end(), "load WFAPI.DLL"), 0);
    const std::vector<std::string> lines = trace.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "WMU::Open, TSE Platform\n"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "WMU::Open, WTS DLL loaded\n"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "WMU::Open, LoadLibrary WF failed 00000057\n"), 2);
}

TEST(Session, OpenOnASingleUserMachineLoadsNothing) {
    ScopedMachineFacts machine(false, false, false);
    FakeSessionPlatform platform({Library::Loaded, Library::Loaded, kNoAnswer, kNoAnswer});
    TraceCapture trace;
    CWMU wmu;
    EXPECT_TRUE(wmu.Open());
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(trace.Lines(),
              std::vector<std::string>{"WMU::Open, Neither on a CITRIX Platform nor on a TSE Platform\n"});
}

TEST(Session, CloseReleasesOnceAndKeepsTheFunctionSlots) {
    ScopedMachineFacts machine(true, true, false);
    FakeSessionPlatform platform({Library::Loaded, Library::Loaded, kNoAnswer, kNoAnswer});
    CWMU wmu;
    ASSERT_TRUE(wmu.Open());
    EXPECT_EQ(g_loaded, 2);

    wmu.Close();
    wmu.Close();
    EXPECT_EQ(g_loaded, 0);
    EXPECT_EQ(wmu.m_hWtsApi, nullptr);
    EXPECT_EQ(wmu.m_hWfApi, nullptr);
    EXPECT_NE(CWMU::s_pfnWTSQuerySessionInformationA, nullptr);
    EXPECT_NE(CWMU::s_pfnWFFreeMemory, nullptr);
}

TEST(Session, GetSessionInfoStaysWithinASmallBuffer) {
    ScopedMachineFacts machine(false, true, false);
    FakeSessionPlatform platform({Library::Absent, Library::Loaded, kNoAnswer, {true, 8, true, "LONGCLIENT", true}});
    CWMU wmu;
    ASSERT_TRUE(wmu.Open());

    // A guard byte after a five-byte buffer must survive.
    char buffer[6];
    std::memset(buffer, '#', sizeof buffer);
    DWORD sessionId = 0;
    SessionPlatform which = SessionPlatform::None;
    EXPECT_EQ(wmu.GetSessionInfo(sessionId, buffer, 5, which), 1u);
    EXPECT_STREQ(buffer, "LONG");
    EXPECT_EQ(buffer[5], '#');
    EXPECT_EQ(which, SessionPlatform::Citrix);
}

}  // namespace
