// Rule lists as stored text: cleaned, loaded into a list and saved back; and the address
// normaliser every allowed entry passes through.
#include "core/Settings.h"
#include "engine/Conversions.h"
#include "fakes/Fakes.h"
#include "manager/Manager.h"

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Either family, IPv4 as IPv4-mapped: one address whatever form it is written in.
    const auto address = [](std::string_view t) -> std::optional<kt::Address6> {
        if (const auto ipv4 = kt::ParseIPAddress(t)) {
            return kt::MappedAddress(*ipv4);
        }
        return kt::ParseIPv6Address(t);
    };
    const std::optional<std::string> plain = kt::NormalizeIPAddress(text);
    Check(plain.has_value() == address(text).has_value());
    Check(plain.has_value() == kt::IsValidIPAddress(text));
    if (plain) {
        Check(kt::NormalizeIPAddress(*plain) == plain);
        Check(address(*plain) == address(text));
    }

    kt::testing::MemoryStore store;
    kt::Manager manager(store, [] { return std::string(); });
    for (const bool addresses : {true, false}) {
        std::vector<std::string> complaints;
        const std::string clean = kt::CleanRuleList(text, "Key", addresses, complaints);
        manager.LoadListFromString(manager.oAllowedIP, clean);
        // Clean text survives a load and a save unchanged, and cleaning it again finds no fault.
        Check(manager.SaveListToString(manager.oAllowedIP) == clean);
        std::vector<std::string> again;
        Check(kt::CleanRuleList(clean, "Key", addresses, again) == clean && again.empty());
    }
    return 0;
}
