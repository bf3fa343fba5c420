// Loaded modules: LoadLibraryA, FreeLibrary, GetProcAddress, GetModuleHandleA
// and GetModuleFileNameA.
//
// An HMODULE is the base address of the loaded object, as on Windows, so the
// same value works with GetModuleFileNameA. Modules built into the backend
// ("ntdll.dll", "KERNEL32.DLL") have handles of their own that no file backs.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "win32/posix/posix.h"
#include "win32/posix/syscalls.h"

namespace posix {

namespace {

struct Builtin {
    std::string name;
    BuiltinLookup lookup;
    char tag;  // its address is the module's handle
};

struct Loaded {
    void* handle;
    int references;
};

struct State {
    std::mutex mutex;
    std::vector<std::unique_ptr<Builtin>> builtins;
    std::map<uintptr_t, Loaded> loaded;
};

State& Libraries() {
    static State* state = new State;  // lives past static destruction
    return *state;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

uintptr_t BaseOf(const dl_phdr_info* info) {
    uintptr_t lowest = UINTPTR_MAX;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            lowest = std::min<uintptr_t>(lowest, info->dlpi_phdr[i].p_vaddr);
        }
    }
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return info->dlpi_addr + (lowest & ~(page - 1));
}

struct Search {
    // In: a base to find, or a file name to find (case-insensitive).
    uintptr_t base = 0;
    std::string name;
    // Out.
    bool found = false;
    uintptr_t foundBase = 0;
    std::string path;
};

int Visit(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<Search*>(data);
    const std::string path = info->dlpi_name ? info->dlpi_name : "";
    const bool match = search->name.empty()
                           ? BaseOf(info) == search->base
                           : !path.empty() && strcasecmp(BaseName(path).c_str(), search->name.c_str()) == 0;
    if (!match) {
        return 0;
    }
    search->found = true;
    search->foundBase = BaseOf(info);
    search->path = path;
    return 1;
}

Builtin* FindBuiltin(HMODULE module) {
    for (auto& builtin : Libraries().builtins) {
        if (reinterpret_cast<HMODULE>(&builtin->tag) == module) {
            return builtin.get();
        }
    }
    return nullptr;
}

Builtin* FindBuiltin(const char* name) {
    for (auto& builtin : Libraries().builtins) {
        if (strcasecmp(builtin->name.c_str(), name) == 0) {
            return builtin.get();
        }
    }
    return nullptr;
}

uintptr_t BaseOfHandle(void* handle) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
        return 0;
    }
    Dl_info info{};
    return dladdr(map->l_ld, &info) ? reinterpret_cast<uintptr_t>(info.dli_fbase) : 0;
}

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string ExecutableDirectory() {
    const std::string path = ExecutablePath();
    return path.substr(0, path.find_last_of('/') + 1);
}

// Windows looks beside the program first, then along the search path.
void* OpenLibrary(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    const std::string beside = ExecutableDirectory() + name;
    if (Sys().access(beside.c_str(), F_OK) == 0) {
        return dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

HMODULE WINAPI LoadLibraryAImpl(LPCSTR name) {
    if (name == nullptr || *name == '\0') {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    State& state = Libraries();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (Builtin* builtin = FindBuiltin(name)) {
        return Succeed(reinterpret_cast<HMODULE>(&builtin->tag));
    }
    void* handle = OpenLibrary(NativePath(name));
    if (handle == nullptr) {
        return Fail(ERROR_MOD_NOT_FOUND);
    }
    const uintptr_t base = BaseOfHandle(handle);
    Loaded& entry = state.loaded[base];
    if (entry.references++ > 0) {
        dlclose(handle);  // one dlopen reference per base is enough
    } else {
        entry.handle = handle;
    }
    return Succeed(reinterpret_cast<HMODULE>(base));
}

BOOL WINAPI FreeLibraryImpl(HMODULE module) {
    State& state = Libraries();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (FindBuiltin(module)) {
        return TRUE;
    }
    auto it = state.loaded.find(reinterpret_cast<uintptr_t>(module));
    if (it == state.loaded.end()) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (--it->second.references == 0) {
        dlclose(it->second.handle);
        state.loaded.erase(it);
    }
    return TRUE;
}

FARPROC LookupLoaded(HMODULE module, const char* name) {
    State& state = Libraries();
    auto it = state.loaded.find(reinterpret_cast<uintptr_t>(module));
    if (it != state.loaded.end()) {
        return reinterpret_cast<FARPROC>(dlsym(it->second.handle, name));
    }
    Search search;
    search.base = reinterpret_cast<uintptr_t>(module);
    dl_iterate_phdr(Visit, &search);
    if (!search.found) {
        return nullptr;
    }
    void* handle =
        search.path.empty() ? dlopen(nullptr, RTLD_NOW) : dlopen(search.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return nullptr;
    }
    auto address = reinterpret_cast<FARPROC>(dlsym(handle, name));
    dlclose(handle);
    return address;
}

FARPROC WINAPI GetProcAddressImpl(HMODULE module, LPCSTR name) {
    if (name == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    FARPROC address = nullptr;
    {
        std::lock_guard<std::mutex> lock(Libraries().mutex);
        Builtin* builtin = FindBuiltin(module);
        address = builtin ? builtin->lookup(name) : LookupLoaded(module, name);
    }
    SetError(address ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND);
    return address;
}

HMODULE WINAPI GetModuleHandleAImpl(LPCSTR name) {
    Search search;
    if (name == nullptr) {
        search.base = 0;
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* data) {
                // The first entry is the main program.
                static_cast<Search*>(data)->foundBase = BaseOf(info);
                static_cast<Search*>(data)->found = true;
                return 1;
            },
            &search);
    } else {
        std::lock_guard<std::mutex> lock(Libraries().mutex);
        if (Builtin* builtin = FindBuiltin(name)) {
            return Succeed(reinterpret_cast<HMODULE>(&builtin->tag));
        }
        search.name = BaseName(NativePath(name));
        dl_iterate_phdr(Visit, &search);
    }
    if (!search.found) {
        return Fail(ERROR_MOD_NOT_FOUND);
    }
    return Succeed(reinterpret_cast<HMODULE>(search.foundBase));
}

// The file of a loaded module: the main program for a null handle.
bool ModulePath(HMODULE module, std::string& path) {
    Search search;
    search.base = reinterpret_cast<uintptr_t>(module);
    if (module != nullptr) {
        dl_iterate_phdr(Visit, &search);
        if (!search.found) {
            return false;
        }
    }
    if (search.path.empty()) {  // the main program has no name in the list
        path = ExecutablePath();
        return !path.empty();
    }
    // Resolved once per name: a loaded module's file does not move, and the
    // module asks for its own at every start.
    static std::mutex s_mutex;
    static auto* s_resolved = new std::map<std::string, std::string>;  // outlives static destruction
    std::lock_guard<std::mutex> lock(s_mutex);
    std::string& known = (*s_resolved)[search.path];
    if (known.empty()) {
        char resolved[PATH_MAX];
        known = realpath(search.path.c_str(), resolved) ? resolved : search.path;
    }
    path = known;
    return true;
}

DWORD WINAPI GetModuleFileNameAImpl(HMODULE module, LPSTR buffer, DWORD size) {
    std::string path;
    if (!ModulePath(module, path)) {
        return Fail(ERROR_MOD_NOT_FOUND);
    }
    if (size == 0 || buffer == nullptr) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    // As on Windows Vista and later: a path that does not fit is cut to size - 1.
    if (path.size() >= size) {
        std::memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return Succeed(static_cast<DWORD>(path.size()));
}

}  // namespace

void RegisterBuiltinModule(const char* name, BuiltinLookup lookup) {
    State& state = Libraries();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (FindBuiltin(name) == nullptr) {
        state.builtins.push_back(std::unique_ptr<Builtin>(new Builtin{name, lookup, 0}));
    }
}

void BindLibraries(Win32Api& t) {
    t.LoadLibraryA = LoadLibraryAImpl;
    t.FreeLibrary = FreeLibraryImpl;
    t.GetProcAddress = GetProcAddressImpl;
    t.GetModuleHandleA = GetModuleHandleAImpl;
    t.GetModuleFileNameA = GetModuleFileNameAImpl;
}

}  // namespace posix
