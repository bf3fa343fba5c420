// How a registry answer reaches the caller's buffers, with the sizes and
// ERROR_MORE_DATA as Windows reports them: the same for this machine's keys
// and for a remote machine's.
#pragma once

#include <string>

#include "win32/posix/registry_memory.h"

namespace posix {

// Copies a name into a buffer of `*length` characters (terminator included);
// the length out excludes the terminator.
LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD length);

void PutFileTime(int64_t written, PFILETIME time);

// RegQueryInfoKeyA's outputs; any of them may be null.
LONG PutFacts(const reg::Facts& facts, LPSTR keyClass, LPDWORD classLength, LPDWORD subKeys, LPDWORD maxSubKeyLength,
              LPDWORD maxClassLength, LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
              LPDWORD securityDescriptor, PFILETIME lastWrite);

// A value's type and bytes, as RegQueryValueExA and RegEnumValueA hand them over.
LONG PutValue(DWORD type, const void* bytes, size_t size, LPDWORD typeOut, LPBYTE data, LPDWORD dataSize);

// A sub-key as RegEnumKeyExA hands it over.
LONG PutSubKey(const reg::SubKeyRow& row, LPSTR name, LPDWORD nameLength, LPSTR keyClass, LPDWORD classLength,
               PFILETIME lastWrite);

}  // namespace posix
