// The .reg codec at scale: importing 100,000 values (a 5.00 file in UTF-16, 100
// keys of 1,000), the same count of lines that reg.exe skips, and the export of
// the imported tree.
//
// Run: build/native/bin/reg_import_bench --benchmark_repetitions=5
// It works in a registry of its own in a temporary directory.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "regfile/reg_file.h"
#include "win32/api.h"

namespace {

char g_directory[64] = "";

// Before any static constructor of the layer opens the registry.
__attribute__((constructor(101))) void UseOwnRegistry() {
    char pattern[] = "/tmp/qvtr-reg-import-bench-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        std::strcpy(g_directory, pattern);
        setenv("QVTR_REGISTRY", (std::string(g_directory) + "/registry.db").c_str(), 1);
    }
}

const char* const kTree = "Software\\QvtrBench\\RegImport";

std::string Utf16(const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    bytes.reserve(2 + ascii.size() * 2);
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

// 100 keys of 1,000 values each under a tree of its own (deleting one costs
// more than importing it); `bad` makes every value line one reg.exe skips.
std::string File(bool bad, int tree) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    for (int k = 0; k < 100; ++k) {
        text +=
            "[HKEY_CURRENT_USER\\" + std::string(kTree) + std::to_string(tree) + "\\Key" + std::to_string(k) + "]\r\n";
        for (int v = 0; v < 1000; ++v) {
            text += "\"Value" + std::to_string(v) +
                    (bad ? "\"=\"x\"#c\r\n" : "\"=\"" + std::string(20, 'a' + v % 26) + "\"\r\n");
        }
        text += "\r\n";
    }
    return Utf16(text);
}

void Import(benchmark::State& state, bool bad) {
    static int tree = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string bytes = File(bad, ++tree);
        state.ResumeTiming();
        regfile::Document document;
        regfile::Problem problem;
        std::vector<regfile::Problem> skipped;
        if (!regfile::Parse(bytes, document, problem) || regfile::Apply(document, false, skipped) != ERROR_SUCCESS) {
            state.SkipWithError(problem.reason.c_str());
            break;
        }
    }
}

void BM_Import100kValues(benchmark::State& state) {
    Import(state, false);
}
BENCHMARK(BM_Import100kValues)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_Import100kSkippedLines(benchmark::State& state) {
    Import(state, true);
}
BENCHMARK(BM_Import100kSkippedLines)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_Export100kValues(benchmark::State& state) {
    regfile::Document document;
    regfile::Problem problem;
    regfile::Parse(File(false, 0), document, problem);
    regfile::Apply(document, problem);
    for (auto _ : state) {
        std::string bytes;
        if (regfile::Export(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", (std::string(kTree) + "0").c_str(), bytes) !=
            ERROR_SUCCESS) {
            state.SkipWithError("export failed");
            break;
        }
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_Export100kValues)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    if (g_directory[0] != '\0') {
        for (const char* file : {"/registry.db", "/registry.db-wal", "/registry.db-shm", "/registry.db-seq"}) {
            unlink((std::string(g_directory) + file).c_str());
        }
        rmdir(g_directory);
    }
    return 0;
}
