// The one way a value of unknown size is read, over any table of Win32 functions.
#pragma once

#include <algorithm>
#include <cstddef>

#include "win32/api.h"

// Another writer may enlarge the value between asking its size and reading it:
// the registry then says ERROR_MORE_DATA and the size is asked again, at most 8
// times. A value larger than `limit` bytes is ERROR_NOT_ENOUGH_MEMORY. The ANSI
// forms may announce more than they deliver: `data` keeps what was delivered.
template <class Bytes>
LONG ReadRegistryValue(const Win32Api& api, HKEY hKey, const char* name, DWORD& type, Bytes& data,
                       size_t limit = ~size_t(0)) {
    LONG error = ERROR_MORE_DATA;
    for (int attempt = 0; attempt < 8 && error == ERROR_MORE_DATA; ++attempt) {
        DWORD size = 0;
        error = api.RegQueryValueExA(hKey, name, nullptr, &type, nullptr, &size);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        if (size > limit) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        data.resize(size);
        error = api.RegQueryValueExA(hKey, name, nullptr, &type, size ? reinterpret_cast<LPBYTE>(&data[0]) : nullptr,
                                     &size);
        if (error == ERROR_SUCCESS) {
            data.resize(std::min<size_t>(size, data.size()));
        }
    }
    return error;
}
