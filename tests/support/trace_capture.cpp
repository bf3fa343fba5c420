#include "support/trace_capture.h"

#include <mutex>

#include "qvtr/module.h"
#include "win32/api.h"

namespace testing_support {

namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;

// "%08X: " is the writer's own; the tests compare the facility's text.
std::string WithoutPrefix(const std::string& line) {
    const bool prefixed =
        line.size() >= 10 && line.compare(8, 2, ": ") == 0 && line.find_first_not_of("0123456789ABCDEF") >= 8;
    return prefixed ? line.substr(10) : line;
}

void WINAPI CaptureOutput(LPCSTR text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.push_back(WithoutPrefix(text ? text : ""));
}

}  // namespace

TraceCapture::TraceCapture(int32_t level)
    : m_savedLevel(g_Module.m_nDebugLevel),
      m_savedDebugString(g_Module.m_bDebugString),
      m_savedOutput(Api().OutputDebugStringA) {
    Clear();
    Api().OutputDebugStringA = CaptureOutput;
    g_Module.m_nDebugLevel = level;
    g_Module.m_bDebugString = true;
}

TraceCapture::~TraceCapture() {
    g_Module.m_nDebugLevel = m_savedLevel;
    g_Module.m_bDebugString = m_savedDebugString;
    Api().OutputDebugStringA = m_savedOutput;
}

std::vector<std::string> TraceCapture::Lines() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

void TraceCapture::Clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

}  // namespace testing_support
