// log: reads the shared trace log, filters it by process and text, follows it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "log_file.h"
#include "pattern.h"
#include "qvtr/module.h"
#include "win32/api.h"

namespace tool {

namespace {

// Reads go in blocks of this size; a line longer than a block is taken in pieces.
constexpr size_t kBlock = 1 << 20;
constexpr unsigned kPollMs = 250;
constexpr size_t kFollowLines = 10;
constexpr std::string_view kInitText = "Init() log path ";

enum class Colour { Auto, Never, Always };

struct Options {
    std::string file;
    bool follow = false;
    bool sinceStart = false;
    bool summary = false;
    std::set<uint32_t> pids;
    bool grep = false;
    std::string pattern;
    Pattern matcher;
    bool escape = false;  // show control characters as text
    bool ignoreCase = false;
    bool haveLast = false;
    size_t last = 0;
    Colour colour = Colour::Auto;
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Eight hex digits, as the module writes process ids and handles.
bool ParseHex8(std::string_view text, uint32_t& value) {
    if (text.size() != 8) {
        return false;
    }
    value = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return true;
}

// "XXXXXXXX: text": the process id of a line the module wrote.
bool ParsePrefix(std::string_view line, uint32_t& pid) {
    return line.size() >= 10 && line[8] == ':' && line[9] == ' ' && ParseHex8(line.substr(0, 8), pid);
}

std::string_view WithoutCarriageReturn(std::string_view text) {
    return !text.empty() && text.back() == '\r' ? text.substr(0, text.size() - 1) : text;
}

// Complete lines of a file, read in blocks; a partial last line is held back.
class LineReader {
public:
    LineReader() : m_buffer(kBlock) {}

    // Hands every complete line (without its line feed) to sink; false on a read error.
    template <typename Sink>
    bool Pump(LogInput& input, Sink&& sink) {
        for (;;) {
            if (m_held == m_buffer.size()) {
                Emit(sink, std::string_view(m_buffer.data(), m_held));
                m_held = 0;
            }
            const long long got = input.Read(m_buffer.data() + m_held, m_buffer.size() - m_held);
            if (got < 0) {
                return false;
            }
            if (got == 0) {
                return true;
            }
            m_offset += static_cast<uint64_t>(got);
            const char* data = m_buffer.data();
            const size_t end = m_held + static_cast<size_t>(got);
            const size_t tail = std::min<size_t>(end, kTail);
            m_tail.assign(data + end - tail, tail);
            size_t start = 0;
            const char* search = data + m_held;
            while (const void* found = std::memchr(search, '\n', static_cast<size_t>(data + end - search))) {
                const char* newline = static_cast<const char*>(found);
                Emit(sink, std::string_view(data + start, static_cast<size_t>(newline - data) - start));
                start = static_cast<size_t>(newline - data) + 1;
                search = newline + 1;
            }
            std::memmove(m_buffer.data(), data + start, end - start);
            m_held = end - start;
        }
    }

    // The held partial line, given out as a line of its own (its file is gone).
    template <typename Sink>
    void Release(Sink&& sink) {
        if (m_held > 0) {
            Emit(sink, std::string_view(m_buffer.data(), m_held));
        }
        Reset();
    }

    void Reset() {
        m_held = 0;
        m_number = 0;
        m_offset = 0;
        m_tail.clear();
    }
    uint64_t Offset() const { return m_offset; }

    // Whether the file still holds, just before where reading stopped, the bytes
    // last read: a file cut and filled again between two looks may have grown
    // past that point, and reading on would start in the middle of a line.
    bool StillThere(const LogInput& input) const {
        if (m_tail.empty()) {
            return true;
        }
        std::string now(m_tail.size(), '\0');
        return input.ReadAt(m_offset - m_tail.size(), &now[0], now.size()) == static_cast<long long>(now.size()) &&
               now == m_tail;
    }

private:
    template <typename Sink>
    void Emit(Sink& sink, std::string_view line) {
        sink(line, ++m_number);
    }

    static constexpr size_t kTail = 64;

    std::vector<char> m_buffer;
    size_t m_held = 0;
    uint64_t m_number = 0;
    uint64_t m_offset = 0;
    std::string m_tail;  // the last bytes read, which end at m_offset
};

// What support looks for first: which locks a process was last seen holding.
// What --summary keeps is bounded, whatever a crafted log holds: so many
// processes, handles per process, and characters of a name.
constexpr size_t kMaxProcesses = 65536;
constexpr size_t kMaxHandles = 1024;
constexpr size_t kMaxName = 256;

struct ProcessSummary {
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t count = 0;
    std::map<uint32_t, std::string> names;  // mutex handle -> name
    std::map<uint32_t, uint64_t> held;      // handle -> when it was entered
    uint64_t entered = 0;
    bool partial = false;  // more handles than were kept
};

void TrackLocks(ProcessSummary& process, std::string_view text) {
    uint32_t handle = 0;
    constexpr std::string_view kEnter = "In Critical Section ";
    constexpr std::string_view kMutex = "Mutex ";
    constexpr std::string_view kReleased = " released";
    if (text.substr(0, kEnter.size()) == kEnter && ParseHex8(text.substr(kEnter.size()), handle)) {
        if (process.held.size() < kMaxHandles) {
            process.held.emplace(handle, ++process.entered);
        } else {
            process.partial = true;
        }
        return;
    }
    if (text.substr(0, kMutex.size()) != kMutex) {
        return;
    }
    const std::string_view rest = text.substr(kMutex.size());
    if (rest.size() == 8 + kReleased.size() && rest.substr(8) == kReleased && ParseHex8(rest.substr(0, 8), handle)) {
        process.held.erase(handle);
        return;
    }
    // "Mutex NAME - HANDLE: ERROR"; the name may itself hold " - ".
    constexpr size_t kTail = 3 + 8 + 2 + 8;
    uint32_t error = 0;
    if (rest.size() >= kTail && rest.substr(rest.size() - kTail, 3) == " - " &&
        ParseHex8(rest.substr(rest.size() - 18, 8), handle) && rest.substr(rest.size() - 10, 2) == ": " &&
        ParseHex8(rest.substr(rest.size() - 8), error)) {
        const std::string_view name = rest.substr(0, std::min(rest.size() - kTail, kMaxName));
        if (process.names.size() >= kMaxHandles && process.names.count(handle) == 0) {
            process.partial = true;
            return;
        }
        std::string& known = process.names[handle];
        if (known != name) {
            known.assign(name.data(), name.size());
        }
    }
}

const char* const kPalette[] = {"31", "32", "33", "34", "35", "36", "91", "92", "93", "94", "95", "96"};

// The filters, and what passes them: printed, kept for --last, or summarised.
class LogView {
public:
    LogView(const Options& options, bool colour)
        : m_options(options), m_colour(colour), m_ownPid(Api().GetCurrentProcessId()) {}

    // Lines that passed the filters: --grep that matched nothing fails, as grep does.
    uint64_t Passed() const { return m_passed; }

    void SetLastStarts(std::map<uint32_t, uint64_t> starts) { m_lastStart = std::move(starts); }

    void operator()(std::string_view line, uint64_t number) {
        uint32_t pid = 0;
        if (ParsePrefix(line, pid)) {
            m_pid = pid;
            m_hasPid = true;
        } else if (number == 1) {
            m_hasPid = false;  // a continuation line needs a line of its process before it
        }
        if (!Passes(line, number)) {
            return;
        }
        if (m_options.summary) {
            Summarise(line, number);
        } else if (m_keepLast) {
            Keep(line);
        } else {
            Print(line, m_hasPid, m_pid);
        }
    }

    // The initial read is done: what --last kept is printed, and from now on
    // every new line counts as one since its process started.
    void EndOfFirstRead() {
        // The oldest kept line is the next one to be overwritten.
        for (size_t i = 0; i < m_ring.size(); ++i) {
            const Kept& kept = m_ring[(m_next + i) % m_ring.size()];
            Print(kept.line, kept.hasPid, kept.pid);
        }
        m_ring.clear();
        m_keepLast = false;
        m_lastStart.clear();
    }

    void PrintSummary() {
        struct Row {
            uint32_t pid;
            const ProcessSummary* process;
            int rank;  // 0: holds locks and is gone, 1: holds locks, 2: the others
        };
        std::vector<Row> rows;
        for (const auto& [pid, process] : m_processes) {
            const bool holds = !process.held.empty();
            rows.push_back({pid, &process, !holds ? 2 : ProcessAlive(pid) ? 1 : 0});
        }
        // What support looks for first: a dead holder, then a holder that may be stuck.
        std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
            return a.rank != b.rank ? a.rank < b.rank : a.process->first < b.process->first;
        });
        char row[160];
        std::snprintf(row, sizeof row, "%-8s  %-10s  %-12s  %-12s  %-10s  %s\n", "PROCESS", "PID", "FIRST", "LAST",
                      "LINES", "HOLDING");
        m_out += row;
        for (const auto& [pid, process, rank] : rows) {
            std::snprintf(row, sizeof row, "%08X  %-10u  %-12llu  %-12llu  %-10llu  ", static_cast<unsigned>(pid),
                          static_cast<unsigned>(pid), static_cast<unsigned long long>(process->first),
                          static_cast<unsigned long long>(process->last),
                          static_cast<unsigned long long>(process->count));
            m_out += row;
            m_out += HeldNames(*process);
            m_out += process->partial ? ", ... (more than were kept)" : "";
            m_out += rank == 0 ? " (process gone)\n" : "\n";
        }
        if (m_uncounted != 0) {
            m_out += "(" + std::to_string(m_uncounted) + " lines of further processes not summarised)\n";
        }
    }

    // False when standard output cannot take more (a closed pipe, a full disk).
    bool Flush() {
        if (!m_out.empty()) {
            std::fwrite(m_out.data(), 1, m_out.size(), stdout);
            m_out.clear();
        }
        std::fflush(stdout);
        return !std::ferror(stdout);
    }

    void KeepsLast(size_t count) {
        m_keepLast = true;
        m_last = count;
    }

private:
    struct Kept {
        bool hasPid;
        uint32_t pid;
        std::string line;
    };

    // The last m_last lines in a ring whose strings keep their storage.
    void Keep(std::string_view line) {
        if (m_last == 0) {
            return;
        }
        if (m_ring.size() < m_last) {
            m_ring.push_back({m_hasPid, m_pid, std::string(line)});
            return;
        }
        Kept& slot = m_ring[m_next];
        slot.hasPid = m_hasPid;
        slot.pid = m_pid;
        slot.line.assign(line.data(), line.size());
        m_next = (m_next + 1) % m_last;
    }

    bool Passes(std::string_view line, uint64_t number) {
        // The reader's own start-up lines (it loads the module too) are not the log's news.
        if (m_hasPid && m_pid == m_ownPid) {
            return false;
        }
        if (!m_options.pids.empty() && (!m_hasPid || m_options.pids.count(m_pid) == 0)) {
            return false;
        }
        if (!m_lastStart.empty() && m_hasPid) {
            const auto start = m_lastStart.find(m_pid);
            if (start != m_lastStart.end() && number < start->second) {
                return false;
            }
        }
        if (m_options.grep) {
            uint32_t pid = 0;
            const std::string_view text = ParsePrefix(line, pid) ? line.substr(10) : line;
            if (!m_options.matcher.Matches(text)) {
                return false;
            }
        }
        ++m_passed;
        return true;
    }

    void Summarise(std::string_view line, uint64_t number) {
        if (!m_hasPid) {
            return;
        }
        if (m_current == nullptr || m_currentPid != m_pid) {
            if (m_processes.size() >= kMaxProcesses && m_processes.count(m_pid) == 0) {
                ++m_uncounted;
                return;
            }
            m_current = &m_processes[m_pid];
            m_currentPid = m_pid;
        }
        ProcessSummary& process = *m_current;
        if (process.count++ == 0) {
            process.first = number;
        }
        process.last = number;
        uint32_t pid = 0;
        if (ParsePrefix(line, pid)) {
            TrackLocks(process, WithoutCarriageReturn(line.substr(10)));
        }
    }

    static std::string HeldNames(const ProcessSummary& process) {
        if (process.held.empty()) {
            return "-";
        }
        std::vector<std::pair<uint64_t, uint32_t>> order;
        for (const auto& [handle, entered] : process.held) {
            order.emplace_back(entered, handle);
        }
        std::sort(order.begin(), order.end());
        std::string names;
        for (const auto& [entered, handle] : order) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(handle));
            const auto name = process.names.find(handle);
            if (!names.empty()) {
                names += ", ";
            }
            names += name == process.names.end() ? std::string("handle ") + hex
                     : name->second.empty()      ? std::string("(unnamed) ") + hex
                                                 : name->second;
        }
        return names;
    }

    // What another process logged reaches a terminal as text, never as its
    // control sequences: as `cat -v` and `less` show them.
    void AppendText(std::string_view text) {
        if (!m_options.escape) {
            m_out.append(text.data(), text.size());
            return;
        }
        for (size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if ((c < 0x20 && c != '\t') || c == 0x7F) {
                m_out += '^';
                m_out += static_cast<char>(c ^ 0x40);
            } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                       static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
                char code[12];  // a C1 control written in UTF-8
                std::snprintf(code, sizeof code, "<U+%04X>", static_cast<unsigned char>(text[++i]));
                m_out += code;
            } else {
                m_out += static_cast<char>(c);
            }
        }
    }

    void Print(std::string_view line, bool hasPid, uint32_t pid) {
        if (m_colour && hasPid && line.size() >= 9) {
            const uint32_t mixed = pid * 2654435761u;
            m_out += "\x1b[";
            m_out += kPalette[(mixed >> 16) % (sizeof kPalette / sizeof kPalette[0])];
            m_out += "m";
            m_out.append(line.data(), 9);
            m_out += "\x1b[0m";
            AppendText(line.substr(9));
        } else {
            AppendText(line);
        }
        m_out += '\n';
        if (m_out.size() >= (256u << 10)) {
            Flush();
        }
    }

    const Options& m_options;
    const bool m_colour;
    const uint32_t m_ownPid;
    uint64_t m_passed = 0;
    bool m_hasPid = false;
    uint32_t m_pid = 0;
    bool m_keepLast = false;
    size_t m_last = 0;
    std::vector<Kept> m_ring;
    size_t m_next = 0;
    std::map<uint32_t, uint64_t> m_lastStart;
    std::map<uint32_t, ProcessSummary> m_processes;
    uint64_t m_uncounted = 0;
    ProcessSummary* m_current = nullptr;
    uint32_t m_currentPid = 0;
    std::string m_out;
};

// The line number of each process's last start, for --since-start.
bool FindLastStarts(const std::string& path, std::map<uint32_t, uint64_t>& starts, std::string& error) {
    LogInput input;
    if (!input.Open(path, error)) {
        return false;
    }
    LineReader reader;
    const bool ok = reader.Pump(input, [&](std::string_view line, uint64_t number) {
        uint32_t pid = 0;
        if (ParsePrefix(line, pid) && line.substr(10, kInitText.size()) == kInitText) {
            starts[pid] = number;
        }
    });
    if (!ok) {
        error = "read error";
    }
    return ok;
}

void Note(const std::string& message) {
    std::fflush(stdout);
    std::cerr << "qvtr log: " << message << "\n";
}

int Follow(const Options& options, LogView& view, LogInput& input, LineReader& reader) {
    bool goneNoted = false;
    for (;;) {
        if (!view.Flush()) {
            return kExitFailure;
        }
        PauseMilliseconds(kPollMs);
        std::string error;
        if (!input.IsOpen()) {
            if (!input.Open(options.file, error)) {
                continue;
            }
            Note(options.file + " appeared; following it");
            reader.Reset();
        }
        // Checked before reading on: a file cut and filled again past the point
        // reached would otherwise be read from the middle of a line.
        if (input.Size() < reader.Offset() || !reader.StillThere(input)) {
            Note(options.file + " was truncated; reading from its start");
            input.Rewind();
            reader.Reset();
        }
        if (!reader.Pump(input, view)) {
            Note("cannot read " + options.file);
            input.Close();
            continue;
        }
        FileIdentity now;
        if (!IdentityOfPath(options.file, now)) {
            if (!goneNoted) {
                Note(options.file + " is gone; waiting for it");
                goneNoted = true;
            }
            continue;
        }
        goneNoted = false;
        if (now != input.Identity()) {
            // What the old file still held is read to its end first.
            reader.Pump(input, view);
            reader.Release(view);
            Note(options.file + " was replaced; following the new file");
            if (!input.Open(options.file, error)) {
                input.Close();
            }
            continue;
        }
    }
}

int ReadLog(Options& options) {
    bool colour = options.colour == Colour::Always;
    if (options.colour == Colour::Auto) {
        const char* noColour = std::getenv("NO_COLOR");
        colour = (noColour == nullptr || *noColour == '\0') && StdoutTakesColour();
    }
    options.escape = StdoutIsTerminal();
    LogView view(options, colour);
    if (options.follow && !options.haveLast) {
        options.haveLast = true;
        options.last = kFollowLines;
    }
    if (options.haveLast) {
        view.KeepsLast(options.last);
    }
    std::string error;
    LogInput input;
    if (!input.Open(options.file, error)) {
        if (!options.follow) {
            std::cerr << "qvtr log: cannot open " << options.file << ": " << error << "\n";
            return kExitFailure;
        }
        Note("cannot open " + options.file + " (" + error + "); waiting for it");
    } else if (options.sinceStart) {
        std::map<uint32_t, uint64_t> starts;
        if (!FindLastStarts(options.file, starts, error)) {
            std::cerr << "qvtr log: cannot read " << options.file << ": " << error << "\n";
            return kExitFailure;
        }
        view.SetLastStarts(std::move(starts));
    }
    LineReader reader;
    if (input.IsOpen() && !reader.Pump(input, view)) {
        std::cerr << "qvtr log: cannot read " << options.file << "\n";
        return kExitFailure;
    }
    const int found = options.grep && view.Passed() == 0 ? kExitFailure : 0;
    if (options.summary) {
        view.PrintSummary();
        return view.Flush() ? found : kExitFailure;
    }
    view.EndOfFirstRead();
    if (!options.follow) {
        return view.Flush() ? found : kExitFailure;
    }
    return Follow(options, view, input, reader);
}

bool ParsePids(const std::string& list, std::set<uint32_t>& pids) {
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        uint32_t pid = 0;
        if (!ParseUInt32(list.substr(start, comma - start), pid)) {
            return false;
        }
        pids.insert(pid);
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

// The options that take no value; false for any other.
bool SetFlag(const std::string& arg, Options& options) {
    bool* const flag = arg == "-f" || arg == "-F" || arg == "--follow" ? &options.follow
                       : arg == "-i" || arg == "--ignore-case"         ? &options.ignoreCase
                       : arg == "--since-start"                        ? &options.sinceStart
                       : arg == "--summary"                            ? &options.summary
                                                                       : nullptr;
    if (flag != nullptr) {
        *flag = true;
    }
    return flag != nullptr;
}

// Decimal only: a count of lines is not an address.
bool ParseLineCount(const std::string& text, size_t& count) {
    uint32_t n = 0;
    if (text.rfind("0x", 0) == 0 || !ParseUInt32(text, n) || n > 10000000) {
        return false;
    }
    count = n;
    return true;
}

bool ParseColour(const std::string& value, Colour& colour) {
    if (value == "never") {
        colour = Colour::Never;
    } else if (value == "always") {
        colour = Colour::Always;
    } else if (value == "auto") {
        colour = Colour::Auto;
    } else {
        return false;
    }
    return true;
}

// What the options say together: the file, and the combinations refused.
int FinishOptions(const std::vector<std::string>& positional, Options& options) {
    if (positional.size() > 1 || (positional.size() == 1 && !options.file.empty())) {
        return UsageError("log", "expects at most one log file");
    }
    if (positional.size() == 1) {
        options.file = positional[0];
    }
    if (options.summary && (options.follow || options.haveLast)) {
        return UsageError("log", "--summary cannot be combined with --follow or --last");
    }
    std::string error;
    if (options.grep && !options.matcher.Compile(options.pattern, error, options.ignoreCase)) {
        return UsageError("log", "--grep: not a valid regular expression: " + error);
    }
    return 0;
}

int ParseOptions(const Args& args, Options& options) {
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool haveValue = false;
        const size_t equals = arg.find('=');
        if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-' && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            haveValue = true;
        }
        const auto next = [&](std::string& out) {
            if (haveValue) {
                out = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                return false;
            }
            out = args[++i];
            return true;
        };
        if (SetFlag(arg, options)) {
            continue;
        } else if (arg == "--file") {
            if (!next(options.file) || options.file.empty()) {
                return UsageError("log", "--file expects a PATH");
            }
        } else if (arg == "--pid") {
            std::string list;
            if (!next(list) || !ParsePids(list, options.pids)) {
                return UsageError("log", "--pid expects process ids, decimal or 0x-hexadecimal, separated by commas");
            }
        } else if (arg == "--grep") {
            if (!next(options.pattern)) {
                return UsageError("log", "--grep expects a REGEX");
            }
            options.grep = true;
        } else if (arg == "--last" || arg == "-n") {
            std::string count;
            if (!next(count) || !ParseLineCount(count, options.last)) {
                return UsageError("log", arg + " expects a number of lines from 0 to 10000000");
            }
            options.haveLast = true;
        } else if (arg == "--color" || arg == "--colour") {
            if (!ParseColour(haveValue ? value : "always", options.colour)) {
                return UsageError("log", "--color expects never, always or auto");
            }
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            return UsageError("log", "unknown option '" + arg.substr(0, 64) + "'");
        } else {
            positional.push_back(args[i]);
        }
    }
    return FinishOptions(positional, options);
}

int RunLog(const Args& args) {
    Options options;
    if (const int status = ParseOptions(args, options)) {
        return status;
    }
    if (options.file.empty()) {
        options.file = g_Module.m_strLogPath;
    }
    if (options.file.empty()) {
        std::cerr << "qvtr log: the module has no log path (see 'qvtr report'); give one with --file PATH\n";
        return kExitFailure;
    }
    return ReadLog(options);
}

const CommandRegistrar kLog({"log", "print, filter and follow the shared trace log",
                             "usage: qvtr log [--file PATH] [-f] [--pid PID[,PID...]] [--grep REGEX [-i]]\n"
                             "                [--last N] [--since-start] [--summary] [--color=never|always|auto]\n\n"
                             "Prints the trace log the module writes (the path 'qvtr report' shows, from\n"
                             "qvtr.ini beside the module), or PATH. A last line without its line feed (a\n"
                             "writer in the middle of its write) is held back until the line feed arrives.\n"
                             "The lines of the reader's own process (it loads the module too) are left out.\n"
                             "On a terminal, control characters of the lines are shown as ^X.\n\n"
                             "-f, -F, --follow keep printing lines as they arrive; starts with the last 10\n"
                             "                 lines unless --last says otherwise. Survives the file being\n"
                             "                 replaced, deleted and created again, or truncated (a note on\n"
                             "                 stderr says which; a file cut and filled again between two\n"
                             "                 looks is read from its start, never from the middle of a\n"
                             "                 line). Ctrl-C ends it.\n"
                             "--pid LIST       only these processes: decimal as ps or Task Manager show them,\n"
                             "                 or 0x-hexadecimal as the log shows them (4779,0x12AB).\n"
                             "--grep REGEX     only lines whose text after the \"XXXXXXXX: \" prefix matches\n"
                             "                 (extended regular expressions, as grep -E; a pattern without\n"
                             "                 special characters is a plain substring). Its time grows with\n"
                             "                 the text only.\n"
                             "-i, --ignore-case  --grep without regard to letter case.\n"
                             "--last N, -n N   only the last N lines that pass the other filters.\n"
                             "--since-start    only the lines since each process's last \"Init() log path\"\n"
                             "                 line (all lines of a process that has none).\n"
                             "--summary        one row per process: its id in hex and decimal, its first and\n"
                             "                 last line number, its line count, and the locks it was last\n"
                             "                 seen holding without a release line (trace level 6).\n"
                             "                 Holders whose process is gone come first, marked so, then the\n"
                             "                 other holders.\n"
                             "--color=WHEN     colour each process id: auto (default: on a terminal, unless\n"
                             "                 NO_COLOR is set), always, never.\n\n"
                             "Exit status 0; 1 when the file cannot be read (without --follow) or, as grep,\n"
                             "when --grep matched no line; 2 for bad usage.\n"
                             "Examples:\n"
                             "  qvtr log --pid 4779 --last 50\n"
                             "  qvtr log -f --grep 'Mutex|Critical'\n"
                             "  qvtr log --summary --since-start\n",
                             RunLog});

}  // namespace

}  // namespace tool
