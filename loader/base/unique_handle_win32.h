#pragma once
// The Windows kinds of owned handle.

#include <windows.h>

#include "base/unique_handle.h"

namespace kestrup {

// Files, devices and console buffers: CreateFile's kind, invalid as INVALID_HANDLE_VALUE.
struct FileHandleKind {
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static bool close(HANDLE handle) { return CloseHandle(handle) != 0; }
};
using UniqueFileHandle = UniqueHandle<HANDLE, FileHandleKind>;

struct RegistryKeyKind {
    static HKEY invalid() { return nullptr; }
    static bool close(HKEY key) { return RegCloseKey(key) == ERROR_SUCCESS; }
};
using UniqueKey = UniqueHandle<HKEY, RegistryKeyKind>;

}  // namespace kestrup
