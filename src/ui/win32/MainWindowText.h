#pragma once

// Text as the window's parts hand it to Windows.

#include "core/win32/WideText.h"

#include <string>
#include <string_view>

namespace kt::win32 {

// A text that is not valid UTF-8 shows as nothing rather than half-converted.
inline std::wstring Wide(std::string_view text) {
    return ToWide(text).value_or(std::wstring{});
}

} // namespace kt::win32
