// What the service verbs share: the manager's handles, state names, error texts
// and exit statuses, and sc.exe's line layout.
#pragma once

#include <string>
#include <vector>

#include "command.h"
#include "win32/api.h"

namespace tool {
namespace service {

constexpr char kServicesKey[] = "System\\CurrentControlSet\\services";

const char* StateName(DWORD state);
// "text (code)", the text without its line end.
std::string DescribeError(DWORD code);
// The exit status of a failure with the manager's code. On Windows the code
// itself, as sc.exe exits; on Linux, where a status has 8 bits, one of a small
// table, and 1 for every other failure.
int ExitFor(DWORD code);
// "qvtr service: message" on standard error; the exit status for `code`.
int Failure(const std::string& message, DWORD code = 0);
// sc.exe's "[SC] Operation FAILED code: text" line.
int ScFailure(const char* operation, DWORD error);
std::string Hex(DWORD value);
// One "        NAME : value" line, the name padded as sc.exe pads it.
void ScLine(const char* name, const std::string& value);

// A manager and one service handle, closed when the object goes.
class ServiceHandles {
public:
    ServiceHandles(const std::string& name, DWORD managerAccess, DWORD serviceAccess) {
        m_manager = Api().OpenSCManagerA(nullptr, nullptr, managerAccess);
        if (m_manager == nullptr) {
            m_error = Api().GetLastError();
            return;
        }
        m_service = Api().OpenServiceA(m_manager, name.c_str(), serviceAccess);
        if (m_service == nullptr) {
            m_error = Api().GetLastError();
        }
    }
    ~ServiceHandles() {
        if (m_service != nullptr) {
            Api().CloseServiceHandle(m_service);
        }
        if (m_manager != nullptr) {
            Api().CloseServiceHandle(m_manager);
        }
    }
    ServiceHandles(const ServiceHandles&) = delete;
    ServiceHandles& operator=(const ServiceHandles&) = delete;

    SC_HANDLE Service() const { return m_service; }
    DWORD Error() const { return m_error; }

private:
    SC_HANDLE m_manager = nullptr;
    SC_HANDLE m_service = nullptr;
    DWORD m_error = 0;
};

// The service's configuration, in `buffer` grown to its size; null when it
// cannot be read (the last error says why).
const QUERY_SERVICE_CONFIGA* QueryConfig(SC_HANDLE service, std::vector<unsigned char>& buffer);

int RunStatus(const std::string& name);
int RunStart(const std::string& name);
int RunStop(const std::string& name, DWORD timeoutMs);
int PrintQueryBlock(const std::string& name, bool extended = false);
int RunQueryAll();
int RunQc(const std::string& name);
// create and delete: the emulated machine's on Linux; sc.exe's on Windows.
int RunCreateOrDelete(const Args& args);
int RunServer(const std::string& progId);

}  // namespace service
}  // namespace tool
