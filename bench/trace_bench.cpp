// The trace writer: a call above the threshold, and a written line, each
// against its raw floor.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "bench/compare.h"
#include "qvtr/module.h"
#include "win32/api.h"

namespace {

const std::string kLine(51, 'x');  // with "%08X: " and "\n": a 61-byte line

// Where the module logs by default, the user's own temporary directory (`shared`
// false), or the shared /tmp an administrator may point TMPDIR at, where every
// line's file is checked again.
std::string LogPath(bool shared = false) {
    char dir[MAX_PATH] = "/tmp/";
    if (!shared) {
        Api().GetTempPathA(sizeof dir, dir);
    }
    return std::string(dir) + "qvtr-bench-" + std::to_string(getpid()) + ".log";
}

int g_threshold = 0;

__attribute__((noinline)) int CompareAndReturn(int level) {
    benchmark::ClobberMemory();
    return level > g_threshold ? 1 : 0;
}

void BM_Floor_OutOfLineCompare(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(CompareAndReturn(6));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Floor_OutOfLineCompare);

void BM_TraceAboveThreshold(benchmark::State& state) {
    // The module object of the process, threshold 0; the level is read again on every call.
    for (auto _ : state) {
        g_Module.Trace(6, "Mutex %s - %08X: %08X\n", "name", 0x1234u, 0u);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TraceAboveThreshold);

// What a written line costs at the least: the same bytes appended with the same steps.
void BM_Floor_OpenSeekWriteClose(benchmark::State& state) {
    const std::string path = LogPath();
    const std::string line = "0000ABCD: " + kLine + "\n";
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        lseek(fd, 0, SEEK_END);
        benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
        close(fd);
    }
    unlink(path.c_str());
}
BENCHMARK(BM_Floor_OpenSeekWriteClose);

void BM_TraceWritten(benchmark::State& state) {
    CComModuleSupport module;
    module.m_nDebugLevel = 1;
    module.m_strLogPath = LogPath();
    for (auto _ : state) {
        module.Trace(1, "%s\n", kLine.c_str());
    }
    unlink(module.m_strLogPath.c_str());
}
BENCHMARK(BM_TraceWritten);

// The same two operations taken in turns within one loop, so that a machine
// whose load changes during the run weighs on both alike: the ratio counter is
// the figure to quote. Argument 0: the user's own temporary directory; 1: /tmp.
void BM_TraceWrittenInTurnsWithFloor(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const bool shared = state.range(0) != 0;
    const std::string floorPath = LogPath(shared) + ".floor";
    const std::string line = "0000ABCD: " + kLine + "\n";
    CComModuleSupport module;
    module.m_nDebugLevel = 1;
    module.m_strLogPath = LogPath(shared);
    Clock::duration floor{}, trace{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const int fd = open(floorPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        lseek(fd, 0, SEEK_END);
        benchmark::DoNotOptimize(write(fd, line.data(), line.size()));
        close(fd);
        const auto t1 = Clock::now();
        module.Trace(1, "%s\n", kLine.c_str());
        const auto t2 = Clock::now();
        floor += t1 - t0;
        trace += t2 - t1;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["floor_ns"] = std::chrono::duration<double, std::nano>(floor).count() / n;
    state.counters["trace_ns"] = std::chrono::duration<double, std::nano>(trace).count() / n;
    state.counters["ratio"] = static_cast<double>(trace.count()) / static_cast<double>(floor.count());
    unlink(floorPath.c_str());
    unlink(module.m_strLogPath.c_str());
}
BENCHMARK(BM_TraceWrittenInTurnsWithFloor)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
    return qvtr_bench::RunWithFloors(
        argc, argv,
        {{"BM_TraceAboveThreshold", "BM_Floor_OutOfLineCompare"}, {"BM_TraceWritten", "BM_Floor_OpenSeekWriteClose"}});
}
