// Times the profile lookups of profile_bench.cpp with the system's own
// GetPrivateProfileStringA, for comparison under Wine (Google Benchmark has no
// mingw build here). Prints the median of the samples, in nanoseconds per call.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "qvtr/localization.h"
#include "win32/api.h"

namespace {

constexpr int kKeys = 200, kSamples = 31, kCallsPerSample = 200;

std::string g_dir;

DWORD WINAPI ModuleInDirectory(HMODULE, LPSTR buffer, DWORD size) {
    return static_cast<DWORD>(std::snprintf(buffer, size, "%sqvtr.dll", g_dir.c_str()));
}

template <class F>
double MedianNs(F call) {
    std::vector<double> samples;
    for (int s = 0; s < kSamples; ++s) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kCallsPerSample; ++i) {
            call();
        }
        const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
        samples.push_back(spent.count() / kCallsPerSample);
    }
    std::nth_element(samples.begin(), samples.begin() + kSamples / 2, samples.end());
    return samples[kSamples / 2];
}

}  // namespace

int main() {
    char temp[MAX_PATH];
    Api().GetTempPathA(MAX_PATH, temp);
    g_dir = std::string(temp) + "qvtr-profile-timing\\";
    CreateDirectoryA(g_dir.c_str(), nullptr);
    const std::string path = g_dir + "qvtr00.lg";
    {
        std::ofstream file(path);
        file << "; language file for the profile benchmark\n[QVTR]\n";
        for (int i = 0; i < kKeys; ++i) {
            file << "Text" << i << " = The localized text number " << i << ", 50%% done\n";
        }
    }
    ApiOverride api;
    api->GetModuleFileNameA = ModuleInDirectory;
    CLocalizedString::SetLanguageFile("00", "qvtr", nullptr, false);

    char buffer[256];
    const double string =
        MedianNs([&] { Api().GetPrivateProfileStringA("QVTR", "Text150", "", buffer, sizeof buffer, path.c_str()); });
    const double localized = MedianNs([] { CLocalizedString text("QVTR", "Text150"); });
    std::printf("GetPrivateProfileStringA, one key of %d: median %.0f ns\n", kKeys, string);
    std::printf("CLocalizedString lookup:               median %.0f ns\n", localized);
    std::printf("(%d samples of %d calls; value \"%s\")\n", kSamples, kCallsPerSample, buffer);
    DeleteFileA(path.c_str());
    RemoveDirectoryA(g_dir.c_str());
    return 0;
}
