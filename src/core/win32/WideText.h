#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kt::win32 {

// The core speaks UTF-8, Windows UTF-16. Both answer nothing for text that is not valid in its
// encoding, so that a broken text is never stored or shown half-converted.
std::optional<std::wstring> ToWide(std::string_view text);
std::optional<std::string> ToUtf8(std::wstring_view text);

} // namespace kt::win32
