// Session identity against the stand-in WTSAPI32.DLL and WFAPI.DLL, loaded by
// the platform's own loader from beside this program. The seam only watches the
// loader, or makes a library absent, incomplete or short of an export.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "qvtr/platform.h"
#include "support/support.h"
#include "support/trace_capture.h"
#include "win32/api.h"

using testing_support::PlatformPath;
using testing_support::ScopedEnv;
using testing_support::TraceCapture;

namespace {

bool Has(const std::string& words, const char* word) {
    return (" " + words + " ").find(std::string(" ") + word + " ") != std::string::npos;
}

// The stand-ins' answers as "WTS_SESSION=3 WF_FAIL=session,client ..."; what is
// not named stays unset, so the stand-in takes its default.
using Answers = std::vector<std::unique_ptr<ScopedEnv>>;
Answers Answer(const std::string& answers) {
    Answers env;
    std::istringstream in(answers);
    for (std::string word; in >> word;) {
        const size_t equals = word.find('=');
        const std::string name = "QVTR_STANDIN_" + word.substr(0, equals);
        env.emplace_back(new ScopedEnv(name.c_str(), word.substr(equals + 1).c_str()));
    }
    return env;
}

// The real loader behind the seam. `g_loader` holds words: "no-wts" and "no-wf"
// ask for a file that is not there, "incomplete-wf" takes WFAPI.DLL from the
// folder of the stand-in without its message function, "no-wts-free" hides
// WTSFreeMemory.
std::string g_loader;
std::vector<std::string> g_loads;
int g_loaded = 0;  // modules handed out and not yet freed

HMODULE WINAPI SeamLoadLibraryA(LPCSTR name) {
    g_loads.push_back(name);
    const bool wts = std::strcmp(name, "WTSAPI32.DLL") == 0;
    std::string path = name;
    if (Has(g_loader, wts ? "no-wts" : "no-wf")) {
        path = PlatformPath(QVTR_STANDIN_INCOMPLETE_DIR "ABSENT.DLL");
    } else if (!wts && Has(g_loader, "incomplete-wf")) {
        path = PlatformPath(QVTR_STANDIN_INCOMPLETE_DIR "WFAPI.DLL");
    }
    HMODULE const module = BackendApi().LoadLibraryA(path.c_str());
    g_loaded += module != nullptr ? 1 : 0;
    return module;
}

BOOL WINAPI SeamFreeLibrary(HMODULE module) {
    --g_loaded;
    return BackendApi().FreeLibrary(module);
}

FARPROC WINAPI SeamGetProcAddress(HMODULE module, LPCSTR name) {
    if (Has(g_loader, "no-wts-free") && std::strcmp(name, "WTSFreeMemory") == 0) {
        return nullptr;
    }
    return BackendApi().GetProcAddress(module, name);
}

// A machine from one setup such as "ts mf no-wf": g_OsVersionInfo answers as if
// it had worked out the tests named ("ts", "mf", "wf" say yes), and afterwards
// works them out afresh; the other words are for the loader.
class Machine {
public:
    explicit Machine(const std::string& words) {
        Facts(Has(words, "ts"), Has(words, "mf"), Has(words, "wf"), true);
        g_loader = words;
        g_loads.clear();
        g_loaded = 0;
        m_override->LoadLibraryA = SeamLoadLibraryA;
        m_override->FreeLibrary = SeamFreeLibrary;
        m_override->GetProcAddress = SeamGetProcAddress;
    }
    ~Machine() { Facts(false, false, false, false); }

private:
    static void Facts(bool terminalServer, bool metaFrame, bool winFrame, bool known) {
        COsVersionInfo& os = g_OsVersionInfo;
        os.m_bTerminalServer = terminalServer;
        os.m_bMetaFrame = metaFrame;
        os.m_bWinFrame = winFrame;
        os.m_bTerminalServerKnown = os.m_bMetaFrameKnown = os.m_bWinFrameKnown = known;
    }
    ApiOverride m_override;
};

std::string ComputerName() {
    char name[QVTR_CLIENT_NAME_SIZE] = {};
    DWORD size = sizeof name;
    Api().GetComputerNameA(name, &size);
    return name;
}

// A stand-in's own count: queries made, or buffers never given back.
long Count(HMODULE library, bool queries) {
    FARPROC proc = library ? Api().GetProcAddress(library, "QvtrStandinCount") : nullptr;
    return proc ? reinterpret_cast<long (*)(int)>(reinterpret_cast<void (*)()>(proc))(queries) : 0;
}

const char kSixty[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz01234567";
const char kIca[] = "WTS_SESSION=3 WTS_CLIENT=TSNAME WF_SESSION=7 WF_CLIENT=ICACLIENT";

struct StandinCase {
    const char* name;
    const char* setup;  // for Machine: "ts", "mf", "wf" the terminal-server tests that say yes, and loader words
    std::string answers;
    DWORD sessionId;
    SessionPlatform platform;
    std::string clientName;  // a leading "/" asks for the slash
    bool wtsAsked;
};

const std::vector<StandinCase>& Cases() {
    using P = SessionPlatform;
    const std::string sixty = std::string(" WF_CLIENT=") + kSixty;
    const std::string computer = ComputerName();
    static const std::vector<StandinCase> cases = {
        {"IcaClient", "ts mf", kIca, 7, P::Citrix, "ICACLIENT", false},
        {"CitrixConsole", "ts mf", "WTS_SESSION=3 WF_SESSION=0", 0, P::Citrix, computer, false},
        {"DirectIcaAnsweredByTerminalServices", "ts mf", "WTS_SESSION=9 WTS_CLIENT=TSNAME WF_SESSION=5 WF_FAIL=client",
         9, P::Wts, "TSNAME", true},
        {"DirectIcaWithoutTerminalServices", "mf", "WF_SESSION=5 WF_FAIL=client", 5, P::Citrix, computer, false},
        {"TerminalServerWithoutCitrix", "ts", "WTS_SESSION=2 WTS_CLIENT=THINBOX", 2, P::Wts, "THINBOX", true},
        {"TerminalServicesNameFailsLeavingTheSlash", "ts", "WTS_SESSION=4 WTS_FAIL=client", 4, P::None, "/", true},
        {"NoSessionAnywhere", "ts mf", "WTS_FAIL=session,client WF_FAIL=session", 0, P::None, "", true},
        {"UnterminatedLongCitrixNameIsCut", "mf", "WF_SESSION=8 WF_UNTERMINATED=1" + sixty, 8, P::Citrix,
         std::string(kSixty, 50), false},
        {"LongNameWithSlashKeeps49", "wf", "WF_SESSION=8" + sixty, 8, P::Citrix, "/" + std::string(kSixty, 49), false},
        {"NeitherLibraryLoads", "ts mf no-wts no-wf", "", 0, P::None, "", false},
        {"NoFreeFunction", "ts no-wts-free", "WTS_SESSION=2", 0, P::None, "/" + computer, false},
        {"NoMessageFunction", "mf incomplete-wf", "WF_SESSION=7", 0, P::None, computer, false},
        {"SingleUserMachine", "", "", 0x2A, P::None, "/" + computer, false},
    };
    return cases;
}

class StandinTable : public testing::TestWithParam<StandinCase> {};

TEST_P(StandinTable, NamesTheSessionAndReleasesEverything) {
    const StandinCase& c = GetParam();
    const Answers answers = Answer(c.answers);
    // Held across the case, so the stand-in's query counter counts this case only.
    HMODULE const wts = BackendApi().LoadLibraryA("WTSAPI32.DLL");
    ASSERT_NE(wts, nullptr) << "WTSAPI32.DLL is not beside the test program";
    const long wtsQueries = Count(wts, true);
    SessionIdentity identity;
    std::memset(&identity, 0, sizeof identity);
    {
        Machine setup(c.setup);
        CWMU wmu;
        QuerySessionIdentity(wmu, 0x2A, c.clientName[0] == '/', identity);
        EXPECT_EQ(Count(wmu.m_hWtsApi, false), 0);
        EXPECT_EQ(Count(wmu.m_hWfApi, false), 0);
    }

    EXPECT_EQ(identity.m_dwSessionId, c.sessionId);
    EXPECT_EQ(identity.m_ePlatform, c.platform);
    EXPECT_EQ(std::string(identity.m_szClientName), c.clientName);
    EXPECT_EQ(Count(wts, true) > wtsQueries, c.wtsAsked);
    EXPECT_EQ(g_loads.empty(), c.sessionId == 0x2A);  // a single-user machine loads nothing
    // Still ours after the module let its own reference go; freed past the
    // seam, whose override ended with the machine.
    EXPECT_TRUE(Api().FreeLibrary(wts));
    EXPECT_EQ(g_loaded, 0);
}

INSTANTIATE_TEST_SUITE_P(Standins, StandinTable, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<StandinCase>& info) { return info.param.name; });

TEST(Standins, EachWayToAnIdentityEndsItsTrace) {
    const std::string name = ComputerName();
    const struct {
        const char* setup;
        std::vector<std::string> tail;
    } cases[] = {
        {"ts mf",
         {"WMU::Open, TSE Platform\n", "WMU::Open, CITRIX Platform\n", "WMU::Open, WTS DLL loaded\n",
          "WMU::Open, WF DLL loaded\n", "Called WFQuerySessionInformation for session ID: Ok, 00000007\n",
          "Called WFQuerySessionInformation for client name: Ok\n", "Client name: ICACLIENT\n",
          "WMU DLL loaded session ID 00000007 and client name ICACLIENT\n", "Closing WTS DLL\n", "Closing WF DLL\n"}},
        {"", {"WMU single-user session ID 0000002A and client name " + name + "\n"}},
        {"mf incomplete-wf",
         {"WMU DLL not loaded session ID defaults to 0 and client name to " + name + "\n", "Closing WF DLL\n"}},
    };
    const Answers answers = Answer(kIca);
    for (const auto& c : cases) {
        Machine setup(c.setup);
        TraceCapture trace;
        {
            CWMU wmu;
            SessionIdentity identity;
            QuerySessionIdentity(wmu, 0x2A, false, identity);
        }
        const std::vector<std::string> lines = trace.Lines();
        ASSERT_GE(lines.size(), c.tail.size()) << c.setup;
        EXPECT_EQ(std::vector<std::string>(lines.end() - c.tail.size(), lines.end()), c.tail) << c.setup;
    }
}

TEST(Standins, LaterOpensKeepTheLoadedLibraryAndRetryTheMissingOne) {
    Machine setup("ts mf no-wf");
    TraceCapture trace;
    CWMU wmu;
    EXPECT_TRUE(wmu.Open());
    EXPECT_TRUE(wmu.Open());
    EXPECT_EQ(g_loads, (std::vector<std::string>{"WTSAPI32.DLL", "WFAPI.DLL", "WFAPI.DLL"}));
    const std::vector<std::string> lines = trace.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "WMU::Open, WTS DLL loaded\n"), 2);
    // The loader's own error, whatever the trace writing did to the last error since.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "WMU::Open, LoadLibrary WF failed 0000007E\n"), 2);

    wmu.Close();
    wmu.Close();
    EXPECT_EQ(g_loaded, 0);
}

}  // namespace
