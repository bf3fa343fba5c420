// The module object: start-up at process attach, the trace log and system
// error texts.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "qvtr/export.h"
#include "qvtr/win32.h"

#if defined(__GNUC__)
#define QVTR_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#else
#define QVTR_PRINTF_FORMAT(format_index, first_arg)
#endif

// The module's trace prefix, put by callers in front of many trace texts.
#define QVTR_TRACE_PREFIX "QVTR - "

// The module's fixed short name: the trace section of qvtr.ini and the message
// section of the language files.
#define QVTR_SHORT_NAME "QVTR"

// One entry of a COM object map; the layer registers no COM class of its own.
struct _ATL_OBJMAP_ENTRY;

// The COM server's module state that the module object builds on: the object
// map, the module handle and the type library identity.
class QVTR_API CComModule {
public:
    CComModule();
    virtual ~CComModule();

    HRESULT Init(_ATL_OBJMAP_ENTRY* pObjMap, HINSTANCE hInstance, const GUID* pLibId = nullptr);
    void Term();

    HINSTANCE GetModuleInstance() const { return m_hInst; }
    HINSTANCE GetTypeLibInstance() const { return m_hInstTypeLib; }

    HINSTANCE m_hInst;
    HINSTANCE m_hInstResource;
    HINSTANCE m_hInstTypeLib;
    _ATL_OBJMAP_ENTRY* m_pObjMap;
    GUID m_libid;
    bool m_bInitialized;
};

class QVTR_API CComModuleSupport : public CComModule {
public:
    CComModuleSupport();
    ~CComModuleSupport() override;
    CComModuleSupport(const CComModuleSupport&) = delete;
    CComModuleSupport& operator=(const CComModuleSupport&) = delete;

    // Reads qvtr.ini beside the module file and writes the log path back.
    virtual void InitLogPath();
    // Reads "debug" and "debugstring" of m_strSection.
    virtual void ReadDebugSettings();

    // Process attach: base state, section, first language file, log path, settings.
    HRESULT Init(_ATL_OBJMAP_ENTRY* pObjMap, HINSTANCE hInstance, const GUID* pLibId, const char* section);
    // Process detach.
    void Term();

    // Appends "%08X: " (the process id) and the formatted text to the log when
    // `level` is not above m_nDebugLevel; never reports a failure. The level is
    // checked inline, so a line above the threshold costs one comparison.
    template <typename... Args>
    void Trace(int32_t level, const char* format, Args... args) {
        static_assert((std::is_scalar<Args>::value && ...), "trace arguments are numbers, pointers or C strings");
        if (level > m_nDebugLevel) {
            return;
        }
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
        // The format is the caller's literal, handed on unchanged.
        WriteTrace(format, args...);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    }

    // The file this process's lines go to: the configured log, or the user's own
    // log beside it when the configured one belongs to another user.
    std::string LogPathInUse() const;

    // The writer behind Trace, without the threshold check.
    void WriteTrace(const char* format, ...) QVTR_PRINTF_FORMAT(2, 3);

    // Replaces `text` with the text for `code`: localized for the module's
    // application errors (0x9xxxxxxx), the system's message for all others.
    void GetErrorText(std::string& text, DWORD code);

    bool m_bDebugString;
    int32_t m_nDebugLevel;
    std::string m_strIniPath;
    std::string m_strLogPath;
    std::string m_strSection;
    char m_szMessageSection[16];
};

// The module object, one per process.
extern QVTR_API CComModuleSupport g_Module;

// The system's message text for a Win32 code, cut to 255 characters, in a static
// buffer that the next call overwrites.
QVTR_API const char* GetSystemErrorText(DWORD code);
