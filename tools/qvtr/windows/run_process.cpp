// The Windows half of running a command under a lock and passing on its exit status.
#include "run_process.h"

#include "command.h"

#include "win32/win32.h"

namespace tool {

namespace {

// Quotes one argument so that the C runtime's command-line parser gives it back unchanged.
std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        return arg;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal except in front of a quote.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

std::string SystemText(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    const std::string message = text ? text : "error " + std::to_string(code);
    LocalFree(text);
    return WithoutLineEnd(message);
}

// Ctrl+C and Ctrl+Break reach the command through the console too: the tool
// stays and keeps the mutex until the command has ended.
BOOL WINAPI OutliveTheCommand(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

// A job that kills the command when the tool ends without closing it first
// (killed, or its console closed); null when jobs are not available.
HANDLE KillWithTool() {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv) {
    ProcessResult result;
    std::string commandLine;
    for (const std::string& arg : argv) {
        commandLine += (commandLine.empty() ? "" : " ") + Quote(arg);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &process)) {
        result.error = SystemText(GetLastError());
        return result;
    }
    result.started = true;
    HANDLE job = KillWithTool();
    if (job != nullptr && !AssignProcessToJobObject(job, process.hProcess)) {
        CloseHandle(job);  // already in a job that allows no other: the command runs as before
        job = nullptr;
    }
    SetConsoleCtrlHandler(OutliveTheCommand, TRUE);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    SetConsoleCtrlHandler(OutliveTheCommand, FALSE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    if (job != nullptr) {
        // What the command left running in the background is its own business.
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION none{};
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &none, sizeof none);
        CloseHandle(job);
    }
    result.status = static_cast<int>(code);
    return result;
}

}  // namespace tool
