// Captures the module's trace lines through its debugger output, for tests that
// check what a facility traces and in which order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "win32/win32.h"

namespace testing_support {

// While it lives, g_Module writes every line up to `level` to the debugger
// output, which this object collects. The module's settings and the seam's
// OutputDebugStringA entry are restored when it goes. One at a time.
class TraceCapture {
public:
    explicit TraceCapture(int32_t level = 4);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // The lines in order, each without its "%08X: " process-id prefix.
    std::vector<std::string> Lines() const;
    void Clear();

private:
    int32_t m_savedLevel;
    bool m_savedDebugString;
    void(WINAPI* m_savedOutput)(LPCSTR);
};

}  // namespace testing_support
