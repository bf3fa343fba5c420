// service: inspect, start and stop a Windows service; the local server of a COM class.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "qvtr/service.h"
#include "service_verbs.h"

namespace tool {
namespace service {

int RunServer(const std::string& progId) {
    // Grown by 256 bytes until the command line fits.
    for (DWORD size = 256; size <= 64 * 1024; size += 256) {
        std::vector<char> buffer(size);
        if (GetLocalServerPath(progId.c_str(), buffer.data(), size) != 0) {
            std::cout << buffer.data() << "\n";
            return 0;
        }
        const DWORD error = Api().GetLastError();
        if (error == ERROR_INVALID_DATA) {
            return Failure(progId + ": the LocalServer32 value of its class is not a REG_SZ string");
        }
        if (error != ERROR_MORE_DATA) {
            return Failure(progId + ": " + DescribeError(error));
        }
    }
    return Failure(progId + ": the command line is longer than 64 KiB");
}

namespace {

int RunService(const Args& args) {
    if (args.empty()) {
        return UsageError("service", "expects status, query, queryex, qc, start, stop, server, create or delete");
    }
    const std::string& action = args[0];
    if (action == "stop") {
        // --timeout SECONDS before or after NAME.
        uint32_t seconds = 30;
        Args names;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] != "--timeout") {
                names.push_back(args[i]);
            } else if (i + 1 >= args.size() || !ParseUInt32(args[i + 1], seconds) || seconds > 3600) {
                return UsageError("service", "--timeout takes seconds from 0 to 3600");
            } else {
                ++i;
            }
        }
        if (names.size() != 1 || names[0].empty()) {
            return UsageError("service", "stop expects one NAME");
        }
        return RunStop(names[0], seconds * 1000);
    }
    if (action == "query" && args.size() == 1) {
        return RunQueryAll();
    }
    if (action == "create" || action == "delete") {
        return RunCreateOrDelete(args);
    }
    const std::vector<std::string> actions = {"status", "query", "queryex", "qc", "start", "stop", "server"};
    if (std::find(actions.begin(), actions.end(), action) == actions.end()) {
        std::vector<std::string> known = actions;
        known.insert(known.end(), {"create", "delete"});
        const std::string guess = DidYouMean(action, known);
        return UsageError("service", "unknown action '" + action.substr(0, 64) + "'" +
                                         (guess.empty() ? "; expects status, query, queryex, qc, start, stop, "
                                                          "server, create or delete"
                                                        : guess));
    }
    if (args.size() != 2) {
        return UsageError("service", action + (action == "server" ? " expects one PROGID" : " expects one NAME"));
    }
    if (args[1].empty()) {
        return UsageError("service", action + (action == "server" ? ": PROGID is empty" : ": NAME is empty"));
    }
    if (action == "status") {
        return RunStatus(args[1]);
    }
    if (action == "query" || action == "queryex") {
        return PrintQueryBlock(args[1], action == "queryex");
    }
    if (action == "qc") {
        return RunQc(args[1]);
    }
    if (action == "start") {
        return RunStart(args[1]);
    }
    return RunServer(args[1]);
}

const CommandRegistrar kService(
    {"service", "inspect, start and stop a service; the local server of a COM class",
     "usage: qvtr service status NAME\n"
     "       qvtr service query [NAME]\n"
     "       qvtr service queryex NAME\n"
     "       qvtr service qc NAME\n"
     "       qvtr service start NAME\n"
     "       qvtr service stop NAME [--timeout SECONDS]\n"
     "       qvtr service server PROGID\n"
     "       qvtr service create NAME binPath= PATH [start= demand|auto|disabled] [obj= ACCOUNT]\n"
     "       qvtr service delete NAME\n\n"
     "status  Whether NAME is registered (a key under HKLM\\System\\CurrentControlSet\\\n"
     "        services), its state, the account it is configured to run under, and\n"
     "        whether it runs under the current user's account. Exit status 1 when the\n"
     "        service is not registered.\n"
     "query   NAME's status in sc.exe's layout (TYPE, STATE, WIN32_EXIT_CODE,\n"
     "        SERVICE_EXIT_CODE, CHECKPOINT, WAIT_HINT); without NAME, every\n"
     "        registered service (drivers left out).\n"
     "queryex NAME's status as query shows it, and the PID of the process that runs it\n"
     "        (0 when it is stopped), as sc.exe queryex shows them.\n"
     "qc      NAME's configuration in sc.exe's layout (START_TYPE, ERROR_CONTROL,\n"
     "        BINARY_PATH_NAME, SERVICE_START_NAME, ...).\n"
     "start   Starts NAME when it is not running and waits for it the way the module\n"
     "        does: while the service reports START_PENDING, a line on stderr shows its\n"
     "        state, check point, wait hint and the time gone by. Exit status 0 when\n"
     "        it runs; otherwise the reason, with the code the manager gave (2 for a\n"
     "        missing program).\n"
     "stop    Sends NAME the stop control and waits until it has stopped (30 seconds\n"
     "        unless --timeout says otherwise). A service that is not running is left\n"
     "        as it is.\n"
     "server  Prints the command line registered as the LocalServer32 of the COM class\n"
     "        that PROGID names (HKCR\\PROGID\\CLSID, then HKCR\\CLSID\\{...}\\LocalServer32).\n\n"
     "create  (Linux) Registers NAME in the emulated machine's services key, in\n"
     "        sc.exe's syntax: a blank after each '='. start= defaults to demand and\n"
     "        obj= to LocalSystem. A NAME already registered fails with 1073.\n"
     "delete  (Linux) Removes NAME's key; a service that is not stopped is refused.\n"
     "        On Windows use sc.exe for create and delete.\n\n"
     "Exit status: 0 done; 2 bad usage. On Windows a failure exits with the\n"
     "manager's code, as sc.exe does (1060 no such service, 5 access denied, 1056\n"
     "already running, 1062 not running, 1053 timed out). On Linux: 3 no such\n"
     "service, 4 access denied, 5 already running, 6 not running, 7 timed out,\n"
     "1 any other failure.\n"
     "On Linux the services are those of the emulated machine: see the README's\n"
     "section \"Services on the emulated Linux machine\".\n"
     "Examples:\n"
     "  qvtr service status Spooler\n"
     "  qvtr service start Spooler\n"
     "  qvtr service server Word.Application\n",
     RunService});

}  // namespace

}  // namespace service
}  // namespace tool
