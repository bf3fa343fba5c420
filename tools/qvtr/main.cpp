// qvtr: the platform layer's command-line tool.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "command.h"
#include "qvtr/module.h"

namespace tool {

namespace {

std::vector<Command>& CommandList() {
    static std::vector<Command> commands;
    return commands;
}

std::vector<ReportSection>& SectionList() {
    static std::vector<ReportSection> sections;
    return sections;
}

void PrintHelp(std::ostream& out) {
    out << "usage: qvtr COMMAND [ARG...]\n\n"
           "The platform layer's tool. It loads the module the way a host process does.\n\n"
           "Commands:\n";
    std::vector<Command> sorted = Commands();
    std::sort(sorted.begin(), sorted.end(),
              [](const Command& a, const Command& b) { return std::string(a.name) < b.name; });
    for (const Command& command : sorted) {
        std::string name = command.name;
        name.resize(std::max<size_t>(name.size(), 10), ' ');
        out << "  " << name << "  " << command.synopsis << "\n";
    }
    out << "\n'qvtr COMMAND --help' (or -h, -?, /?, 'qvtr help COMMAND') explains a command; 'qvtr --version'.\n"
           "Exit status: 0 success, 1 failure, 2 bad usage ('qvtr reg' follows reg.exe: 1 for bad usage;\n"
           "'qvtr service' tells its failures apart, see its help).\n";
}

const Command* FindCommand(const std::string& name) {
    for (const Command& command : Commands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

// The edit distance of two short words, for a mistyped command.
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// A failed write of standard output (a full disk, a closed pipe) is an error,
// as GNU tools make it: one line on standard error and status 1.
int FinishOutput(int status) {
    std::cout.flush();
    const bool failed = !std::cout.good() || std::fflush(stdout) != 0 || std::ferror(stdout);
    if (failed) {
        const int error = errno;
        std::cerr << "qvtr: cannot write to standard output: " << std::strerror(error != 0 ? error : EIO) << "\n";
        return tool::kExitFailure;
    }
    return status;
}

}  // namespace

std::string DidYouMean(const std::string& typed, const std::vector<std::string>& words) {
    std::string best;
    size_t bestDistance = 3;  // farther than two edits is no guess
    for (const std::string& word : words) {
        const size_t distance = Distance(typed, word);
        if (distance < bestDistance) {
            best = word;
            bestDistance = distance;
        }
    }
    return best.empty() ? best : "; did you mean '" + best + "'?";
}

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::string ErrorLine(DWORD code) {
    std::string text;
    g_Module.GetErrorText(text, code);
    return WithoutLineEnd(text);
}

bool IsHelp(const std::string& arg) {
    return arg == "--help" || arg == "-h" || arg == "-?" || arg == "/?";
}

void RegisterCommand(const Command& command) {
    CommandList().push_back(command);
}
void RegisterReportSection(const ReportSection& section) {
    SectionList().push_back(section);
}
const std::vector<Command>& Commands() {
    return CommandList();
}
const std::vector<ReportSection>& ReportSections() {
    return SectionList();
}

int UsageError(const char* command, const std::string& message) {
    std::cerr << "qvtr " << command << ": " << message << " (see 'qvtr " << command << " --help')\n";
    return kExitUsage;
}

bool ParseUInt32(const std::string& text, uint32_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool ParseInt32(const std::string& text, int32_t& value) {
    if (text.empty() || text[0] == ' ') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) {
        return false;
    }
    value = static_cast<int32_t>(parsed);
    return true;
}

void ReportLine(std::ostream& out, const std::string& name, const std::string& value) {
    std::string label = name + ":";
    label.resize(std::max<size_t>(label.size(), 22), ' ');
    out << label << " " << value << "\n";
}

}  // namespace tool

int main(int argc, char** argv) {
    tool::Args args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "help") {  // `qvtr help reg` is `qvtr reg --help`
        args.erase(args.begin());
        args.emplace_back("--help");
    }
    if (args.empty() || tool::IsHelp(args[0])) {
        tool::PrintHelp(args.empty() ? std::cerr : std::cout);
        return args.empty() ? tool::kExitUsage : tool::FinishOutput(0);
    }
    if (args[0] == "--version" || args[0] == "-V") {
        std::cout << "qvtr " << QVTR_VERSION << "\n";
        return tool::FinishOutput(0);
    }
    const tool::Command* command = tool::FindCommand(args[0]);
    if (command == nullptr) {
        std::vector<std::string> names;
        for (const tool::Command& known : tool::Commands()) {
            names.push_back(known.name);
        }
        std::cerr << "qvtr: unknown command '" << args[0].substr(0, 64) << "'" << tool::DidYouMean(args[0], names)
                  << " (see 'qvtr --help')\n";
        return tool::kExitUsage;
    }
    const tool::Args rest(args.begin() + 1, args.end());
    // Help is asked before "--"; what follows belongs to a command the tool runs.
    const auto end = std::find(rest.begin(), rest.end(), std::string("--"));
    // reg answers help itself, per verb, as reg.exe does.
    const bool ownHelp = std::string(command->name) == "reg" && !rest.empty() && !tool::IsHelp(rest[0]);
    if (!ownHelp && std::any_of(rest.begin(), end, tool::IsHelp)) {
        std::cout << command->help;
        return tool::FinishOutput(0);
    }
    int status = tool::kExitFailure;
    try {
        status = command->run(rest);
    } catch (const std::exception& error) {
        std::cerr << "qvtr " << command->name << ": " << error.what() << "\n";
    } catch (long code) {
        std::cerr << "qvtr " << command->name << ": registry error " << code << "\n";
    }
    return tool::FinishOutput(status);
}
