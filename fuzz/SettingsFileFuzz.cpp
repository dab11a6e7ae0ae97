// The settings file as anyone who can write it may leave it: read by the store, then loaded as
// rules, which must come out clean; saved in place, they read back as saved, and a second save of
// the same rules leaves the file as the first left it.
#include "core/Settings.h"
#include "core/qt/QtSettingsStore.h"
#include "engine/Conversions.h"
#include "list/Value.h"
#include "manager/Manager.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

// A configuration root of its own for each input: the store may cache what it parsed by path.
class TempRoot {
public:
    TempRoot() {
        std::string name = (fs::temp_directory_path() / "kt-fuzz-XXXXXX").string();
        if (::mkdtemp(name.data()) == nullptr) {
            std::abort();
        }
        Path = name;
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    ~TempRoot() {
        std::error_code ignored;
        fs::remove_all(Path, ignored);
    }
    fs::path Path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const TempRoot root;
    const fs::path folder = root.Path / kt::SettingsApplication;
    fs::create_directory(folder);
    std::ofstream(folder / (std::string(kt::SettingsApplication) + ".ini"), std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    kt::QtSettingsStore store(root.Path.string());
    kt::Manager manager(store, [] { return std::string(); });
    kt::LoadSettings(manager, store);
    const auto each = [](const kt::List& list, auto&& clean) {
        for (int32_t i = 0; i < list.GetItemCount(); ++i) {
            if (!clean(kt::ToText(list.GetItem(i)).value_or(""))) {
                std::abort();
            }
        }
    };
    const auto port = [](const std::string& e) {
        const int32_t n = kt::ToInt32(kt::Value(e)).value_or(0);
        return n >= 1 && n <= 65535 && std::to_string(n) == e;
    };
    each(manager.oAllowedIP, [](const std::string& e) { return kt::NormalizeIPAddress(e) == e; });
    each(manager.oBlockedLocalPorts, port);
    each(manager.oBlockedRemotePorts, port);

    if (!kt::SaveSettings(manager, store)) {
        return 0; // refused, as a file others may write is; the file stays as it was
    }
    const fs::path file = folder / (std::string(kt::SettingsApplication) + ".ini");
    const auto contents = [&file] {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string once = contents();
    kt::QtSettingsStore fresh(root.Path.string());
    kt::Manager again(fresh, [] { return std::string(); });
    std::string why;
    if (!kt::ReloadSettings(again, fresh, why) ||
        kt::CurrentRules(again) != kt::CurrentRules(manager) || !kt::SaveSettings(again, fresh) ||
        contents() != once) {
        std::abort();
    }
    return 0;
}
