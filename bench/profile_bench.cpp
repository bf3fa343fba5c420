// Profile lookups against their floor: one key of a 200-key language file
// through GetPrivateProfileStringA and through CLocalizedString (which reads the
// file again at every lookup), next to a bare stat() and open+read+close of the
// same file. The file is two seconds old before timing starts, as installed
// language files are; the "Reread" case keeps its mtime in the future, so the
// reader must parse the file at every call.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "bench/compare.h"
#include "qvtr/localization.h"
#include "win32/api.h"

namespace {

constexpr int kKeys = 200;

std::string LanguageFileText() {
    std::string text = "; language file for the profile benchmark\n[QVTR]\n";
    for (int i = 0; i < kKeys; ++i) {
        text += "Text" + std::to_string(i) + " = The localized text number " + std::to_string(i) + ", 50%% done\n";
    }
    return text;
}

std::string g_moduleFile;

DWORD WINAPI ModuleInDirectory(HMODULE, LPSTR buffer, DWORD size) {
    return static_cast<DWORD>(std::snprintf(buffer, size, "%s", g_moduleFile.c_str()));
}

struct Files {
    std::string dir;
    std::string language;  // <dir>/qvtr00.lg
    std::string fresh;     // the same text with an mtime in the future
    ApiOverride api;

    Files() {
        char pattern[] = "/tmp/qvtr-bench-XXXXXX";
        dir = mkdtemp(pattern);
        language = dir + "/qvtr00.lg";
        fresh = dir + "/fresh.lg";
        std::ofstream(language) << LanguageFileText();
        std::ofstream(fresh) << LanguageFileText();
        const struct timespec future[2] = {{time(nullptr) + 3600, 0}, {time(nullptr) + 3600, 0}};
        utimensat(AT_FDCWD, fresh.c_str(), future, 0);
        g_moduleFile = dir + "/qvtr.so";
        api->GetModuleFileNameA = ModuleInDirectory;
        CLocalizedString::SetLanguageFile("00", "qvtr", nullptr, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    }
    ~Files() {
        unlink(language.c_str());
        unlink(fresh.c_str());
        rmdir(dir.c_str());
    }
};

Files& TheFiles() {
    static Files files;
    return files;
}

void BM_GetPrivateProfileString(benchmark::State& state) {
    const std::string& path = TheFiles().language;
    char buffer[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Api().GetPrivateProfileStringA("QVTR", "Text150", "", buffer, 256, path.c_str()));
    }
}
BENCHMARK(BM_GetPrivateProfileString);

void BM_LocalizedString(benchmark::State& state) {
    TheFiles();
    for (auto _ : state) {
        CLocalizedString text("QVTR", "Text150");
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_LocalizedString);

void BM_GetPrivateProfileString_Reread(benchmark::State& state) {
    const std::string& path = TheFiles().fresh;
    char buffer[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Api().GetPrivateProfileStringA("QVTR", "Text150", "", buffer, 256, path.c_str()));
    }
}
BENCHMARK(BM_GetPrivateProfileString_Reread);

void BM_Floor_Stat(benchmark::State& state) {
    const std::string& path = TheFiles().language;
    struct stat info {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(stat(path.c_str(), &info));
    }
}
BENCHMARK(BM_Floor_Stat);

void BM_Floor_OpenReadClose(benchmark::State& state) {
    const std::string& path = TheFiles().language;
    char buffer[65536];
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        benchmark::DoNotOptimize(read(fd, buffer, sizeof buffer));
        close(fd);
    }
}
BENCHMARK(BM_Floor_OpenReadClose);

}  // namespace

int main(int argc, char** argv) {
    return qvtr_bench::RunWithFloors(argc, argv,
                                     {{"BM_GetPrivateProfileString", "BM_Floor_Stat"},
                                      {"BM_LocalizedString", "BM_Floor_Stat"},
                                      {"BM_GetPrivateProfileString_Reread", "BM_Floor_OpenReadClose"}});
}
