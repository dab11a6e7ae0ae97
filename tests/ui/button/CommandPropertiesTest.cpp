#include "FakeButtonHost.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kt::test {
namespace {

using BS = ButtonState;
using BP = ButtonPicture;
using Names = std::vector<std::string>;

TEST(Creation, AFreshButtonIsCaptionedCommandEnabledAndPaintedNormal) {
    ButtonRig rig;
    EXPECT_EQ(rig.button.State(), BS::Disable);
    EXPECT_EQ(rig.button.FirstRun(), 0);
    rig.button.OnCreate();
    EXPECT_EQ(rig.button.Caption(), "Command");
    EXPECT_EQ(rig.events.changed, Names{"Enabled"});
    EXPECT_EQ(rig.button.State(), BS::Normal);
    ASSERT_EQ(rig.surface.paints.size(), 1u);
    EXPECT_EQ(rig.surface.Last().picture, BP::Normal);
    EXPECT_EQ(rig.surface.Last().text, "Command");
    EXPECT_EQ(rig.button.FirstRun(), 0); // set through the property, not read
}

TEST(Enabled, TheFirstReadOfAFreshInstanceEnablesItOnce) {
    ButtonRig rig;
    EXPECT_TRUE(rig.button.Enabled());
    EXPECT_EQ(rig.button.FirstRun(), 1);
    EXPECT_TRUE(rig.surface.paints.empty());
    EXPECT_TRUE(rig.events.changed.empty());

    rig.button.SetEnabled(false);
    EXPECT_FALSE(rig.button.Enabled()); // FirstRun is 1 now: no second enabling
    EXPECT_EQ(rig.button.FirstRun(), 1);
}

TEST(Properties, EachWriteNotifiesItsNameAndRepaints) {
    ButtonRig rig;
    rig.Ready();
    size_t paints = rig.surface.paints.size();

    rig.button.SetCaption("&Add");
    rig.button.SetEnabled(true);
    rig.button.SetFont(ButtonFont{"Arial", 10, 700, true, false, false});
    rig.button.SetFontColour(0x00FF00);
    rig.button.SetVisible(1);
    EXPECT_EQ(rig.events.changed, (Names{"Caption", "Enabled", "Font", "FontColour", "Visible"}));
    EXPECT_EQ(rig.surface.paints.size(), paints + 5);
    EXPECT_EQ(rig.surface.PicturesSince(paints), std::vector<BP>(5, BP::Normal));

    EXPECT_EQ(rig.button.Caption(), "&Add");
    EXPECT_EQ(rig.button.Font().Name, "Arial");
    EXPECT_EQ(rig.surface.font.Weight, 700);
    EXPECT_EQ(rig.button.FontColour(), 0x00FF00u);
    EXPECT_EQ(rig.surface.Last().textColour, 0x00FF00u);
}

TEST(Properties, VisibleSwitchesTheBackgroundAndNotifiesLast) {
    ButtonRig rig;
    rig.Ready();
    size_t paintsAtNotify = 0;
    struct Spy : RecordingEvents {
        RecordingSurface* surface = nullptr;
        size_t* paintsAtNotify = nullptr;
        void PropertyChanged(std::string_view name) override {
            RecordingEvents::PropertyChanged(name);
            *paintsAtNotify = surface->paints.size();
        }
    };
    Spy spy;
    spy.surface = &rig.surface;
    spy.paintsAtNotify = &paintsAtNotify;
    Command button(rig.surface, spy, rig.container, rig.timer);
    button.OnCreate();

    size_t before = rig.surface.paints.size();
    button.SetVisible(0);
    EXPECT_FALSE(rig.surface.opaque);
    EXPECT_EQ(button.Visible(), 0);
    EXPECT_EQ(rig.surface.paints.size(), before);
    EXPECT_EQ(spy.changed.back(), "Visible");

    button.SetVisible(1);
    EXPECT_TRUE(rig.surface.opaque);
    EXPECT_EQ(button.Visible(), 255);
    EXPECT_EQ(rig.surface.paints.size(), before + 1);
    EXPECT_EQ(paintsAtNotify, before + 1); // the repaint came before the notification
}

TEST(Properties, FontColourKeepsWhatTheSurfaceMadeOfIt) {
    ButtonRig rig;
    rig.surface.acceptColour = [](Colour c) { return c & 0xFFFFFF; };
    rig.Ready();
    rig.button.SetFontColour(0x7F0000FF);
    EXPECT_EQ(rig.button.FontColour(), 0x0000FFu);
    rig.button.OnMouseMove();
    EXPECT_EQ(rig.surface.Last().textColour, 0x0000FFu);
}

TEST(AccessKey, TheCharacterAfterTheFirstAmpersand) {
    struct Case {
        const char* caption;
        const char* key;
    };
    for (Case c : {Case{"&Add", "A"}, Case{"Add &Local IPs", "L"}, Case{"a&b&c", "b"},
                   Case{"&&Both", "&"}, Case{"Add", ""}, Case{"Add&", ""}, Case{"", ""},
                   Case{"&add", "a"}, Case{"Caf&\xC3\xA9", "\xC3\xA9"}}) {
        EXPECT_EQ(AccessKeyOf(c.caption), c.key) << c.caption;
    }
}

TEST(AccessKey, BroughtUpToDateOnEveryPaint) {
    ButtonRig rig;
    rig.Ready();
    rig.button.SetCaption("&Readme");
    EXPECT_EQ(rig.surface.accessKey, "R");
    rig.button.SetCaption("Readme");
    EXPECT_EQ(rig.surface.accessKey, "");
    rig.button.SetCaption("&Readme");
    rig.button.SetEnabled(false);
    EXPECT_EQ(rig.surface.accessKey, "");
}

TEST(Persistence, AnEmptyBagGivesTheDefaults) {
    ButtonRig rig;
    rig.surface.opaque = false;
    rig.surface.textColour = 0x123456;
    rig.button.OnCreate();
    rig.button.SetEnabled(false);
    RecordingPropertyBag bag;
    size_t before = rig.surface.paints.size();

    rig.button.ReadProperties(bag);
    EXPECT_TRUE(rig.button.Enabled());
    EXPECT_EQ(rig.button.Caption(), "Command1");
    EXPECT_EQ(rig.button.Font(), rig.container.ambient);
    EXPECT_EQ(rig.button.FirstRun(), 1);
    EXPECT_EQ(rig.button.FontColour(), 0u);
    EXPECT_EQ(rig.button.Visible(), 255);
    // One repaint after the reads.
    ASSERT_EQ(rig.surface.paints.size(), before + 1);
    EXPECT_EQ(rig.surface.Last().picture, BP::Normal);
    EXPECT_EQ(rig.surface.Last().text, "Command1");
    EXPECT_EQ(bag.readOrder,
              (Names{"Enabled", "Caption", "Font", "FirstRun", "FontColour", "Visible"}));
}

TEST(Persistence, TheMainWindowsButtonsHoldOnlyCaptionAndFont) {
    ButtonRig rig;
    rig.button.OnCreate();
    RecordingPropertyBag bag;
    const ButtonFont sansSerif{"MS Sans Serif", 8.25, 400, false, false, false};
    bag.entries["Caption"] = Value("Current Connections");
    bag.entries["Font"] = sansSerif;
    rig.button.ReadProperties(bag);
    EXPECT_TRUE(rig.button.Enabled());
    EXPECT_EQ(rig.button.Caption(), "Current Connections");
    EXPECT_EQ(rig.button.Font(), sansSerif);
    EXPECT_EQ(rig.button.FirstRun(), 1);
    EXPECT_EQ(rig.button.FontColour(), 0u);
    EXPECT_EQ(rig.button.Visible(), 255);
}

TEST(Persistence, EveryChangedSettingComesBackWhole) {
    ButtonRig saved;
    saved.button.OnCreate();
    saved.button.SetCaption("Blocked &Remote Ports");
    const ButtonFont font{"Arial", 11.25, 700, true, true, true};
    saved.button.SetFont(font);
    saved.button.SetFontColour(0x00336699);
    saved.button.SetVisible(0);
    RecordingPropertyBag bag;
    saved.button.WriteProperties(bag);
    EXPECT_EQ(bag.writeOrder, (Names{"Caption", "FirstRun", "Font", "FontColour", "Visible"}));

    ButtonRig loaded;
    loaded.button.OnCreate();
    loaded.button.ReadProperties(bag);
    EXPECT_EQ(loaded.button.Caption(), "Blocked &Remote Ports");
    EXPECT_EQ(loaded.button.Font(), font);
    EXPECT_EQ(loaded.button.FontColour(), 0x00336699u);
    EXPECT_EQ(loaded.surface.Last().textColour, 0x00336699u);
    EXPECT_EQ(loaded.button.Visible(), 0);
    EXPECT_EQ(loaded.button.FirstRun(), 0);
    EXPECT_TRUE(loaded.button.Enabled());
}

TEST(Persistence, WritesInOrderAndOnlyWhatDiffersFromItsDefault) {
    ButtonRig rig;
    rig.button.OnCreate();
    rig.button.Enabled(); // FirstRun becomes 1, its default
    rig.surface.font = *rig.container.ambient;
    RecordingPropertyBag defaults;
    rig.button.WriteProperties(defaults);
    EXPECT_TRUE(defaults.writeOrder.empty()); // caption "Command" is a default when writing

    rig.button.SetCaption("Add");
    rig.button.SetEnabled(false); // painted disabled: the colour in use is grey
    rig.button.SetFont(ButtonFont{"Arial", 8.25, 400, false, false, false});
    rig.button.SetVisible(0);
    RecordingPropertyBag bag;
    rig.button.WriteProperties(bag);
    EXPECT_EQ(bag.writeOrder, (Names{"Enabled", "Caption", "Font", "FontColour", "Visible"}));
    EXPECT_EQ(bag.ValueAt("Enabled"), Value(int16_t{0}));
    EXPECT_EQ(bag.ValueAt("Caption"), Value("Add"));
    EXPECT_EQ(bag.ValueAt("FontColour"), Value(int32_t{12632256}));
    EXPECT_EQ(bag.ValueAt("Visible"), Value(int16_t{0}));
}

TEST(Persistence, CaptionCommandIsLeftOutAndComesBackAsCommand1) {
    ButtonRig saved;
    saved.button.OnCreate();
    saved.button.SetCaption("Command");
    RecordingPropertyBag bag;
    saved.button.WriteProperties(bag);
    EXPECT_EQ(bag.entries.count("Caption"), 0u);

    ButtonRig loaded;
    loaded.button.OnCreate();
    loaded.button.ReadProperties(bag);
    EXPECT_EQ(loaded.button.Caption(), "Command1");
}

TEST(Persistence, FirstRunIsStoredOnlyWhileStillZero) {
    ButtonRig rig;
    rig.button.OnCreate();
    RecordingPropertyBag fresh;
    rig.button.WriteProperties(fresh);
    EXPECT_EQ(fresh.ValueAt("FirstRun"), Value(uint8_t{0}));

    rig.button.Enabled();
    RecordingPropertyBag configured;
    rig.button.WriteProperties(configured);
    EXPECT_EQ(configured.entries.count("FirstRun"), 0u);
}

TEST(Persistence, StoredValuesThatDoNotConvertLeaveTheirTargetsAlone) {
    ButtonRig rig;
    rig.button.OnCreate();
    rig.button.SetFontColour(0x000080);
    rig.button.SetVisible(0);
    const ButtonFont before = rig.surface.font;
    RecordingPropertyBag bag;
    bag.entries["Enabled"] = Value("maybe");
    bag.entries["Caption"] = Value(int32_t{12}); // converted to its text form
    bag.entries["Font"] = Value("Arial");        // not a font
    bag.entries["FirstRun"] = Value("300");
    bag.entries["FontColour"] = Value("4294967296");
    bag.entries["Visible"] = Value("40000");
    rig.button.SetEnabled(false);

    rig.button.ReadProperties(bag);
    EXPECT_EQ(rig.button.State(), BS::Disable);
    EXPECT_EQ(rig.button.Caption(), "12");
    EXPECT_EQ(rig.surface.font, before);
    EXPECT_EQ(rig.button.FirstRun(), 0);
    EXPECT_EQ(rig.button.Visible(), 0);
    rig.button.SetEnabled(true);
    EXPECT_EQ(rig.button.FontColour(), 0x000080u);
}

TEST(Persistence, NumbersInRangeAndWordsAreAccepted) {
    ButtonRig rig;
    rig.button.OnCreate();
    RecordingPropertyBag bag;
    bag.entries["Enabled"] = Value("False");
    bag.entries["FirstRun"] = Value("255");
    bag.entries["FontColour"] = Value(int32_t{-2147483647 - 1});
    bag.entries["Visible"] = Value("0");
    rig.button.ReadProperties(bag);
    EXPECT_EQ(rig.button.State(), BS::Disable);
    EXPECT_EQ(rig.button.FirstRun(), 255);
    EXPECT_FALSE(rig.button.Enabled());
    EXPECT_EQ(rig.button.Visible(), 0);
    rig.button.SetEnabled(true);
    EXPECT_EQ(rig.button.FontColour(), 0x80000000u);
}

TEST(Persistence, UnreadableEntriesAndAMissingAmbientFontAreSkipped) {
    ButtonRig rig;
    rig.button.OnCreate();
    rig.button.SetCaption("Keep");
    const ButtonFont own = rig.surface.font;
    rig.container.ambient.reset();
    RecordingPropertyBag bag;
    bag.unreadable = {"Caption", "Enabled"};
    rig.button.ReadProperties(bag);
    EXPECT_EQ(rig.button.Caption(), "Keep");
    EXPECT_EQ(rig.surface.font, own); // no Font entry and nothing to default to
    EXPECT_EQ(rig.button.State(), BS::Normal);

    rig.button.SetFont(ButtonFont{"Arial", 9, 400, false, false, false});
    RecordingPropertyBag out;
    rig.button.WriteProperties(out);
    EXPECT_EQ(out.entries.count("Font"), 0u);
    EXPECT_EQ(out.ValueAt("Caption"), Value("Keep"));
}

} // namespace
} // namespace kt::test
