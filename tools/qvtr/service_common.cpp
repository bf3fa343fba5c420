// The service verbs' shared parts.
#include <iomanip>
#include <iostream>
#include <sstream>

#include "qvtr/module.h"
#include "service_verbs.h"

namespace tool {
namespace service {

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "STOPPED";
        case SERVICE_START_PENDING:
            return "START_PENDING";
        case SERVICE_STOP_PENDING:
            return "STOP_PENDING";
        case SERVICE_RUNNING:
            return "RUNNING";
        case SERVICE_CONTINUE_PENDING:
            return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING:
            return "PAUSE_PENDING";
        case SERVICE_PAUSED:
            return "PAUSED";
        default:
            return "UNKNOWN";
    }
}

std::string DescribeError(DWORD code) {
    const std::string text = code == static_cast<DWORD>(CO_E_CLASSSTRING)
                                 ? "No COM class is registered under this ProgID."
                                 : ErrorLine(code);
    std::ostringstream out;
    out << text << " (";
    if (code >= 0x10000) {
        out << "0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0') << code;
    } else {
        out << code;
    }
    out << ")";
    return out.str();
}

int Failure(const std::string& message, DWORD code) {
    std::cerr << "qvtr service: " << message << "\n";
    return ExitFor(code);
}

int ScFailure(const char* operation, DWORD error) {
    std::string text = DescribeError(error);
    text.erase(text.rfind(" ("));
    std::cerr << "[SC] " << operation << " FAILED " << error << ": " << text << "\n";
    return ExitFor(error);
}

std::string Hex(DWORD value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << value;
    return out.str();
}

void ScLine(const char* name, const std::string& value) {
    std::string label = name;
    label.resize(19, ' ');
    std::cout << "        " << label << ": " << value << "\n";
}

const QUERY_SERVICE_CONFIGA* QueryConfig(SC_HANDLE service, std::vector<unsigned char>& buffer) {
    DWORD needed = 0;
    buffer.assign(sizeof(QUERY_SERVICE_CONFIGA), 0);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    bool ok = Api().QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size()), &needed);
    if (!ok && Api().GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(needed);
        config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        ok = Api().QueryServiceConfigA(service, config, needed, &needed);
    }
    return ok ? config : nullptr;
}

}  // namespace service
}  // namespace tool
