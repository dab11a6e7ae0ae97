#pragma once

// The owner of a Windows kernel handle (file, event, mutex, ...): closed exactly once.

#include <windows.h>

#include <memory>
#include <type_traits>

namespace kt::win32 {

struct KernelHandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, KernelHandleCloser>;

} // namespace kt::win32
