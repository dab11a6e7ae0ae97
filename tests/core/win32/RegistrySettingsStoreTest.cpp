#include "core/win32/RegistrySettingsStore.h"

#include "core/Settings.h"
#include "core/win32/WideText.h"
#include "manager/Manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kt::win32 {
namespace {

constexpr const char* Application = "KorvanTessivoTest";
constexpr const wchar_t* ApplicationKey = L"Software\\KorvanTessivoTest";
constexpr const wchar_t* SectionKey = L"Software\\KorvanTessivoTest\\General";

// Works on the real (Wine's) registry under a test application name, removed before and after.
class RegistrySettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteApplicationKey(); }
    void TearDown() override {
        DeleteApplicationKey();
        HKEY left = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, ApplicationKey, 0, KEY_READ, &left),
                  ERROR_FILE_NOT_FOUND);
        const RegistryKey owner(left);
    }

    static void DeleteApplicationKey() { RegDeleteTreeW(HKEY_CURRENT_USER, ApplicationKey); }

    // Stores raw data the way another program (or a damaged store) could have left it.
    static void PutRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        HKEY created = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, SectionKey, 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &created, nullptr),
                  ERROR_SUCCESS);
        const RegistryKey owner(created);
        ASSERT_EQ(RegSetValueExW(created, name, 0, type, static_cast<const BYTE*>(data), bytes),
                  ERROR_SUCCESS);
    }

    // The stored value as Windows itself reads it.
    static std::wstring GetRaw(const wchar_t* name, DWORD* type) {
        wchar_t data[512] = {};
        DWORD bytes = sizeof data;
        const LSTATUS result =
            RegGetValueW(HKEY_CURRENT_USER, SectionKey, name, RRF_RT_ANY, type, data, &bytes);
        return result == ERROR_SUCCESS ? std::wstring(data) : L"<missing>";
    }

    RegistrySettingsStore store;
};

TEST_F(RegistrySettingsStoreTest, WritesTextValuesUnderSoftwareApplicationSection) {
    ASSERT_TRUE(store.Write(Application, "General", "AllowedIPString", "127.0.0.1,10.0.0.5"));
    DWORD type = 0;
    EXPECT_EQ(GetRaw(L"AllowedIPString", &type), L"127.0.0.1,10.0.0.5");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(store.Read(Application, "General", "AllowedIPString", "fallback"),
              "127.0.0.1,10.0.0.5");

    // A later write replaces the value; other keys of the section stay.
    ASSERT_TRUE(store.Write(Application, "General", "BlockedLocalPortsString", "80,443"));
    ASSERT_TRUE(store.Write(Application, "General", "AllowedIPString", "10.0.0.6"));
    EXPECT_EQ(store.Read(Application, "General", "AllowedIPString", "fallback"), "10.0.0.6");
    EXPECT_EQ(store.Read(Application, "General", "BlockedLocalPortsString", "fallback"), "80,443");
}

TEST_F(RegistrySettingsStoreTest, MissingKeyOrValueGivesTheFallback) {
    EXPECT_EQ(store.Read(Application, "General", "AllowedIPString", "127.0.0.1"), "127.0.0.1");
    ASSERT_TRUE(store.Write(Application, "General", "BlockedLocalPortsString", "80"));
    EXPECT_EQ(store.Read(Application, "General", "AllowedIPString", "127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(store.Read(Application, "Other", "BlockedLocalPortsString", "none"), "none");
}

TEST_F(RegistrySettingsStoreTest, EmptyValueIsReadAsEmptyNotAsFallback) {
    ASSERT_TRUE(store.Write(Application, "General", "AllowedIPString", ""));
    DWORD type = 0;
    EXPECT_EQ(GetRaw(L"AllowedIPString", &type), L"");
    EXPECT_EQ(store.Read(Application, "General", "AllowedIPString", "127.0.0.1"), "");

    // Also when the stored data has no terminating NUL at all.
    PutRaw(L"Bare", REG_SZ, L"", 0);
    EXPECT_EQ(store.Read(Application, "General", "Bare", "fallback"), "");
}

TEST_F(RegistrySettingsStoreTest, TextBeyondAsciiRoundTripsAsUtf16) {
    const std::string text = "Prüfung, Ωmega, Жук, 日本, 😀";
    ASSERT_TRUE(store.Write(Application, "Général", "Clé", text));
    EXPECT_EQ(store.Read(Application, "Général", "Clé", "fallback"), text);

    // Stored as real UTF-16 text, so that other Windows programs read the same characters.
    wchar_t data[128] = {};
    DWORD bytes = sizeof data;
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\KorvanTessivoTest\\G\u00e9n\u00e9ral",
                           L"Cl\u00e9", RRF_RT_REG_SZ, nullptr, data, &bytes),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(data),
              L"Pr\u00fcfung, \u03a9mega, \u0416\u0443\u043a, \u65e5\u672c, \U0001F600");
}

TEST_F(RegistrySettingsStoreTest, ValueOfAnotherTypeGivesTheFallback) {
    const DWORD number = 80;
    PutRaw(L"Number", REG_DWORD, &number, sizeof number);
    const wchar_t expandable[] = L"%TEMP%";
    PutRaw(L"Expandable", REG_EXPAND_SZ, expandable, sizeof expandable);
    const wchar_t multi[] = L"80\0"
                            L"443\0";
    PutRaw(L"Multi", REG_MULTI_SZ, multi, sizeof multi);
    const BYTE binary[] = {'8', 0, '0', 0};
    PutRaw(L"Binary", REG_BINARY, binary, sizeof binary);
    for (const char* key : {"Number", "Expandable", "Multi", "Binary"}) {
        EXPECT_EQ(store.Read(Application, "General", key, "fallback"), "fallback") << key;
    }
}

TEST_F(RegistrySettingsStoreTest, TextThatIsNoValidUtf16GivesTheFallback) {
    const wchar_t loneSurrogate[] = {L'8', 0xD800, L'0', 0};
    PutRaw(L"Broken", REG_SZ, loneSurrogate, sizeof loneSurrogate);
    EXPECT_EQ(store.Read(Application, "General", "Broken", "fallback"), "fallback");
}

TEST_F(RegistrySettingsStoreTest, WriteAnswersFalseForWhatCannotBeStored) {
    // Not UTF-8: nothing half-converted reaches the registry.
    EXPECT_FALSE(store.Write(Application, "General", "AllowedIPString", "10.0.0.\xff"));
    EXPECT_EQ(store.Read(Application, "General", "AllowedIPString", "fallback"), "fallback");
    // Empty names would address the section's default value or the application's own key.
    EXPECT_FALSE(store.Write(Application, "General", "", "80"));
    EXPECT_FALSE(store.Write(Application, "", "AllowedIPString", "80"));
    EXPECT_FALSE(store.Write("", "General", "AllowedIPString", "80"));
    // A key name longer than the registry allows is refused by the registry itself.
    EXPECT_FALSE(store.Write(Application, std::string(300, 's'), "AllowedIPString", "80"));
    EXPECT_EQ(store.Read(Application, std::string(300, 's'), "AllowedIPString", "fallback"),
              "fallback");
}

} // namespace
} // namespace kt::win32

namespace kt::win32 {
namespace {

// The program's own lists through its own key, as a restart would see them; whatever a user had
// stored there is put back afterwards.
TEST(RegistrySettings, ListsSurviveARestartOfTheManager) {
    RegistrySettingsStore store;
    const std::string missing = "\x01missing";
    const char* keys[] = {"BlockedLocalPortsString", "BlockedRemotePortsString", "AllowedIPString"};
    std::vector<std::string> before;
    for (const char* key : keys) {
        before.push_back(store.Read("KorvanTessivo", "General", key, missing));
    }
    {
        Manager manager(store, nullptr);
        manager.oBlockedLocalPorts.AddItem(int32_t{3389});
        manager.oBlockedRemotePorts.AddItem(int32_t{8080});
        manager.oBlockedRemotePorts.AddItem(int32_t{25});
        manager.oAllowedIP.AddItem("10.0.0.7");
        ASSERT_TRUE(SaveSettings(manager, store));
    }
    Manager restarted(store, nullptr);
    LoadSettings(restarted, store);
    EXPECT_EQ(restarted.SaveListToString(restarted.oBlockedLocalPorts), "3389");
    EXPECT_EQ(restarted.SaveListToString(restarted.oBlockedRemotePorts), "8080,25");
    EXPECT_EQ(restarted.SaveListToString(restarted.oAllowedIP), "10.0.0.7");

    for (size_t i = 0; i < before.size(); ++i) {
        if (before[i] == missing) {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\KorvanTessivo\\General",
                               ToWide(keys[i])->c_str());
        } else {
            store.Write("KorvanTessivo", "General", keys[i], before[i]);
        }
    }
}

} // namespace
} // namespace kt::win32
