// Run state of the emulated services, one place for the whole machine, so every
// user's processes see the same services running.
//
// Below the run directory (places.h) each service account has a directory of
// its own, named by its uid, that only that account and root can write: the
// services that run as that account keep there a lock file, a state file (the
// process that runs the service) and a status file (what the service reports).
// A file there is trusted only when that account or root owns it; a process a
// state file names is signalled only when it still is the service the manager
// started (its start time, its user and the service name in its environment).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "win32/win32.h"

namespace posix {

// Where one service's run state lives.
struct ServicePlace {
    std::string dir;  // the account's directory, ending in '/'
    std::string key;  // the service's file name stem
    std::string name;
    uid_t account = 0;
    DWORD error = ERROR_SUCCESS;  // why there is no place (dir empty)
};

// The place of `service` running as `account`; made when `make` is set and the
// caller may (root, or the account itself).
ServicePlace PlaceOfService(const std::string& service, uid_t account, bool make);

// What the backend knows of one service's process.
struct ServiceRunState {
    bool known = false;          // a state file exists: the service was started at some point
    bool running = false;        // its process still lives (same pid, start time, boot and user)
    bool stopRequested = false;  // a stop control has been sent
    pid_t pid = 0;
    pid_t group = 0;
};

ServiceRunState ReadRunState(const ServicePlace& place);

// Holds the service's lock file for the lifetime of the guard, so that two
// processes never start or stop the same service at once.
class ServiceLock {
public:
    explicit ServiceLock(const ServicePlace& place);
    ~ServiceLock();
    ServiceLock(const ServiceLock&) = delete;
    ServiceLock& operator=(const ServiceLock&) = delete;
    bool Held() const { return m_fd >= 0; }

private:
    int m_fd;
};

// The service's own report: "STATE [CHECKPOINT [WAITHINT [EXITCODE]]]" in
// decimal, written by the service into the file named by QVTR_SERVICE_STATUS.
bool ReadReportedStatus(const ServicePlace& place, SERVICE_STATUS& status);
// What a service that reports its own status is until it first does.
SERVICE_STATUS FirstPendingStatus();
bool WriteReportedStatus(const ServicePlace& place, const SERVICE_STATUS& status);
void RemoveReportedStatus(const ServicePlace& place);
std::string ReportedStatusPath(const ServicePlace& place);

// Launches `argv` detached (own session, no terminal, standard streams on
// /dev/null, as the place's account when root starts it) with `environment`
// added, and records it as the service's process. 0 or the Win32 code of the failure.
DWORD LaunchService(const ServicePlace& place, const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment);

// Marks a stop as requested and sends SIGTERM to the service's process group,
// when its process is still the service this manager started.
DWORD StopService(const ServicePlace& place);

// Removes what the service left in its place (after its definition is deleted).
void ForgetService(const ServicePlace& place);

// Splits a command line the way Windows programs split theirs: blanks
// separate, double quotes group, 2n backslashes before a quote give n and
// toggle quoting, 2n+1 give n and a literal quote; other backslashes are kept.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Replaces each %NAME% by the environment variable NAME; unknown names stay as written.
std::string ExpandEnvironment(const std::string& text);

}  // namespace posix
