#include "core/win32/RegistrySettingsStore.h"

#include "core/win32/WideText.h"

#include <limits>

namespace kt::win32 {

namespace {

// Empty names would address the parent key or the key's default value, not a setting.
std::optional<std::wstring> ValueName(std::string_view key) {
    auto name = ToWide(key);
    if (!name || name->empty()) {
        return std::nullopt;
    }
    return name;
}

// The value's text; nothing when it is missing, not a REG_SZ or cannot be read.
std::optional<std::wstring> QueryText(HKEY key, const std::wstring& name) {
    // The value can grow between the size query and the read; a few rounds settle that.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        DWORD bytes = 0;
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
            type != REG_SZ) {
            return std::nullopt;
        }
        // One spare character: the stored data need not end with a NUL.
        std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        const LSTATUS result = RegQueryValueExW(key, name.c_str(), nullptr, &type,
                                                reinterpret_cast<BYTE*>(data.data()), &got);
        if (result == ERROR_MORE_DATA) {
            continue;
        }
        if (result != ERROR_SUCCESS || type != REG_SZ) {
            return std::nullopt;
        }
        data.resize(got / sizeof(wchar_t));
        if (const size_t end = data.find(L'\0'); end != std::wstring::npos) {
            data.resize(end);
        }
        return data;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::wstring> SettingsKeyPath(std::string_view application,
                                            std::string_view section) {
    auto wideApplication = ToWide(application);
    auto wideSection = ToWide(section);
    if (!wideApplication || !wideSection || wideApplication->empty() || wideSection->empty()) {
        return std::nullopt;
    }
    return L"Software\\" + *wideApplication + L"\\" + *wideSection;
}

std::string RegistrySettingsStore::Read(std::string_view application, std::string_view section,
                                        std::string_view key, std::string_view fallback) {
    const auto path = SettingsKeyPath(application, section);
    const auto name = ValueName(key);
    if (!path || !name) {
        return std::string(fallback);
    }
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path->c_str(), 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS) {
        return std::string(fallback);
    }
    const RegistryKey owner(opened);
    const auto wide = QueryText(opened, *name);
    if (!wide) {
        return std::string(fallback);
    }
    auto text = ToUtf8(*wide);
    return text ? std::move(*text) : std::string(fallback);
}

bool RegistrySettingsStore::Write(std::string_view application, std::string_view section,
                                  std::string_view key, std::string_view text) {
    const auto path = SettingsKeyPath(application, section);
    const auto name = ValueName(key);
    const auto value = ToWide(text);
    if (!path || !name || !value) {
        return false;
    }
    const size_t bytes = (value->size() + 1) * sizeof(wchar_t);
    if (bytes > std::numeric_limits<DWORD>::max()) {
        return false;
    }
    HKEY created = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path->c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &created, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const RegistryKey owner(created);
    return RegSetValueExW(created, name->c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value->c_str()),
                          static_cast<DWORD>(bytes)) == ERROR_SUCCESS;
}

} // namespace kt::win32
