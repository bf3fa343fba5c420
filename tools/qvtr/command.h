// The tool's commands: each file registers its own with a CommandRegistrar,
// and adds its lines to `qvtr report` with a ReportRegistrar.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "qvtr/win32.h"

namespace tool {

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* synopsis;  // one line for `qvtr --help`
    const char* help;      // the whole text for `qvtr NAME --help`
    int (*run)(const Args& args);
};

struct ReportSection {
    int order;  // sections print in ascending order
    void (*print)(std::ostream& out);
};

void RegisterCommand(const Command& command);
void RegisterReportSection(const ReportSection& section);
const std::vector<Command>& Commands();
const std::vector<ReportSection>& ReportSections();

struct CommandRegistrar {
    explicit CommandRegistrar(const Command& command) { RegisterCommand(command); }
};
struct ReportRegistrar {
    explicit ReportRegistrar(const ReportSection& section) { RegisterReportSection(section); }
};

// Exit statuses: 0 success, 1 the operation failed, 2 bad usage.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Whether an argument asks for help: --help, -h, -? or /?.
bool IsHelp(const std::string& arg);

// Prints "qvtr COMMAND: message" and a pointer to the help; returns kExitUsage.
int UsageError(const char* command, const std::string& message);

// "; did you mean 'WORD'?" for the one of WORDS a mistyped word most likely meant
// (at most two edits away), or empty.
std::string DidYouMean(const std::string& typed, const std::vector<std::string>& words);

// `text` without the line end (and blanks) that system and language-file texts end in.
std::string WithoutLineEnd(std::string text);

// The module's text of a code, on one line.
std::string ErrorLine(DWORD code);

// Parses a decimal or 0x-hexadecimal 32-bit number; false for anything else.
bool ParseUInt32(const std::string& text, uint32_t& value);
// Parses a decimal signed 32-bit number; false for anything else.
bool ParseInt32(const std::string& text, int32_t& value);

// `qvtr report --machine HOST`: that machine's answers, read from its registry over ssh.
int RunRemoteReport(const std::string& host);

// One aligned "name: value" line of the report.
void ReportLine(std::ostream& out, const std::string& name, const std::string& value);

}  // namespace tool
