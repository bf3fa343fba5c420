// Run state of the emulated services, shared by every process on the machine:
// one directory beside the registry database, with per service a state file
// (the process that runs it) and a status file (what the service reports).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "win32/win32.h"

namespace posix {

// The directory that holds the run state; created on first use.
std::string ServiceRunDirectory();

// What the backend knows of one service's process.
struct ServiceRunState {
    bool known = false;          // a state file exists: the service was started at some point
    bool running = false;        // its process still lives (same pid, same start time, same boot)
    bool stopRequested = false;  // a stop control has been sent
    pid_t pid = 0;
    pid_t group = 0;
};

ServiceRunState ReadRunState(const std::string& service);

// Holds the service's lock file for the lifetime of the guard, so that two
// processes never start the same service at once.
class ServiceLock {
public:
    explicit ServiceLock(const std::string& service);
    ~ServiceLock();
    ServiceLock(const ServiceLock&) = delete;
    ServiceLock& operator=(const ServiceLock&) = delete;

private:
    int m_fd;
};

// The service's own report: "STATE [CHECKPOINT [WAITHINT [EXITCODE]]]" in
// decimal, written by the service into the file named by QVTR_SERVICE_STATUS.
bool ReadReportedStatus(const std::string& service, SERVICE_STATUS& status);
// What a service that reports its own status is until it first does.
SERVICE_STATUS FirstPendingStatus();
void WriteReportedStatus(const std::string& service, const SERVICE_STATUS& status);
void RemoveReportedStatus(const std::string& service);
std::string ReportedStatusPath(const std::string& service);

// Launches `argv` detached (own session, no terminal, standard streams on
// /dev/null) with `environment` added, and records it as the service's
// process. Returns 0 or the Win32 code of the failure.
DWORD LaunchService(const std::string& service, const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment);

// Marks a stop as requested and sends SIGTERM to the service's process group.
DWORD StopService(const std::string& service);

// Splits a command line the way Windows programs split theirs: blanks
// separate, double quotes group, 2n backslashes before a quote give n and
// toggle quoting, 2n+1 give n and a literal quote; other backslashes are kept.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Replaces each %NAME% by the environment variable NAME; unknown names stay as written.
std::string ExpandEnvironment(const std::string& text);

}  // namespace posix
