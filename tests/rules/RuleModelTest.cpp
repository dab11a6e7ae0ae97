#include "rules/RuleModel.h"

#include "../fakes/Fakes.h"
#include "engine/RuleEditing.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

using testing::MemoryStore;
constexpr auto A = RuleListId::Allowed;
constexpr auto L = RuleListId::BlockedLocalPorts;
constexpr auto R = RuleListId::BlockedRemotePorts;

// One request against the rules {10.0.0.1, 2001:db8::1 | 80 | 443}: what each edit answers, the
// lists after it, and what the one notice says (no notice when nothing changed).
struct Step {
    const char* name;
    std::vector<RuleEdit> batch;
    std::vector<RuleOutcome> outcomes;
    RuleEntries after;
    std::vector<RuleEdit> told;
};

const RuleEntries kStart = {{{"10.0.0.1", "2001:db8::1"}, {"80"}, {"443"}}};
const std::string kBadAddress(InvalidAddressMessage), kBadPort(InvalidPortMessage);

const Step kSteps[] = {
    {"an address in another form is added once, in its plain form",
     {{A, true, " 010.000.0.02 "}, {A, true, "10.0.0.2"}, {A, true, "2001:DB8:0::1"}},
     {{"", true}, {"", false}, {"", false}},
     {{{"10.0.0.1", "2001:db8::1", "10.0.0.2"}, {"80"}, {"443"}}},
     {{A, true, "10.0.0.2"}}},
    {"invalid and blank entries are refused in the window's words, or ignored",
     {{A, true, "10.0.0"}, {L, true, "70000"}, {R, true, "http"}, {L, true, "  "}},
     {{kBadAddress, false}, {kBadPort, false}, {kBadPort, false}, {"", false}},
     kStart,
     {}},
    {"a port is kept as its number",
     {{L, true, "80.4"}, {L, true, " 0022"}},
     {{"", false}, {"", true}},
     {{{"10.0.0.1", "2001:db8::1"}, {"80", "22"}, {"443"}}},
     {{L, true, "22"}}},
    {"a delete of what is not there changes nothing and is no error",
     {{R, false, "8080"}, {A, false, "10.0.0"}, {L, false, "443"}},
     {{"", false}, {"", false}, {"", false}},
     kStart,
     {}},
    {"deletes name the entry in any form; order stays, and an entry comes back at the end",
     {{A, false, "10.0.0.01"}, {R, false, "443"}, {A, true, "10.0.0.1"}, {R, true, "443"}},
     {{"", true}, {"", true}, {"", true}, {"", true}},
     {{{"2001:db8::1", "10.0.0.1"}, {"80"}, {"443"}}},
     {{A, false, "10.0.0.1"}, {R, false, "443"}, {A, true, "10.0.0.1"}, {R, true, "443"}}},
};

TEST(RuleModelTest, ABatchAnswersEachEditAndTellsWhatChangedOnce) {
    for (const Step& step : kSteps) {
        RuleModel model;
        model.Replace(kStart, RuleOrigin::Start);
        std::vector<RuleChange> told;
        model.Listen([&](const RuleChange& change) { told.push_back(change); });
        EXPECT_EQ(model.Apply(step.batch, RuleOrigin::Client), step.outcomes) << step.name;
        EXPECT_EQ(model.Entries(), step.after) << step.name;
        ASSERT_EQ(told.size(), step.told.empty() ? 0u : 1u) << step.name;
        if (!told.empty()) {
            EXPECT_EQ(told[0].edits, step.told) << step.name;
            EXPECT_EQ(told[0].origin, RuleOrigin::Client) << step.name;
            EXPECT_FALSE(told[0].replaced) << step.name;
        }
    }
}

TEST(RuleModelTest, AGuardGetsThePlainFormsAndTheWholeSetOnReplace) {
    RuleModel model;
    std::vector<RuleChange> told;
    model.Listen([&](const RuleChange& change) { told.push_back(change); });
    // Taken as it comes, as the window's lists hold it: a form the table never shows stays out.
    model.Replace({{{"10.0.0.1", "10.0.0.01", "::1"}, {"80", "80"}, {"0"}}}, RuleOrigin::Window);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told[0].replaced);
    EXPECT_EQ(told[0].origin, RuleOrigin::Window);
    const GuardRules guard = model.ForGuard();
    EXPECT_EQ(guard.allowedAddresses.size(), 2u);
    EXPECT_EQ(guard.blockedLocalPorts, std::vector<uint16_t>{80});
    EXPECT_TRUE(guard.blockedRemotePorts.empty());
    EXPECT_EQ(
        GuardEdits(std::vector<RuleEdit>{{A, false, "10.0.0.01"}, {R, true, "8080"}}),
        (std::vector<GuardRuleEdit>{{GuardRuleEdit::Kind::BlockedRemotePort, true, 8080, {}}}));
}

// Saved as the stored text, loaded back with what is not valid left out, reloaded only whole.
TEST(RuleModelTest, TheStoreKeepsTheTextAndAReloadTakesOnlyAWholeValidSet) {
    MemoryStore store;
    RuleModel model;
    EXPECT_TRUE(model.Load(store, RuleOrigin::Start).empty());
    EXPECT_EQ(model.Texts(), (RuleStrings{"127.0.0.1", "", ""}));
    model.Add(L, "445", RuleOrigin::Window);
    ASSERT_TRUE(model.Save(store));
    EXPECT_EQ(store.At("BlockedLocalPortsString"), "445");
    store.At("AllowedIPString") = "10.0.0.5, nonsense";
    EXPECT_EQ(model.Load(store, RuleOrigin::Start).size(), 1u);
    EXPECT_EQ(model.Entries(A), std::vector<std::string>{"10.0.0.5"});

    std::string why;
    bool changed = true;
    int told = 0;
    model.Listen([&](const RuleChange&) { ++told; });
    EXPECT_FALSE(model.Reload(store, why, RuleOrigin::Reload, changed));
    EXPECT_NE(why.find("nonsense"), std::string::npos);
    store.At("AllowedIPString") = "10.0.0.5";
    EXPECT_TRUE(model.Reload(store, why, RuleOrigin::Reload, changed));
    EXPECT_FALSE(changed);
    EXPECT_EQ(told, 0);
    store.At("BlockedRemotePortsString") = "21";
    EXPECT_TRUE(model.Reload(store, why, RuleOrigin::Reload, changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(told, 1);
    EXPECT_EQ(model.Texts(), (RuleStrings{"10.0.0.5", "445", "21"}));
}

// Many deletes leave the order as it was, whichever entries went.
TEST(RuleModelTest, OrderSurvivesManyDeletes) {
    OrderedEntries entries;
    std::vector<std::string> kept;
    for (int i = 0; i < 1000; ++i) {
        entries.Add(std::to_string(i));
        if (i % 7 == 3) {
            kept.push_back(std::to_string(i));
        }
    }
    for (int i = 0; i < 1000; ++i) {
        if (i % 7 != 3) {
            EXPECT_TRUE(entries.Erase(std::to_string(i)));
        }
    }
    EXPECT_FALSE(entries.Erase("0"));
    EXPECT_EQ(entries.Entries(), kept);
    EXPECT_TRUE(entries.Contains("3") && !entries.Contains("4"));
}

} // namespace
} // namespace kt
