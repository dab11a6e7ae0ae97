#include "FakeButtonHost.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace kt::test {
namespace {

using BS = ButtonState;
using BP = ButtonPicture;

enum class Event {
    Move,
    LeftDown,
    LeftUp,
    RightUp,
    MiddleUp,
    GotFocus,
    LostFocus,
    AccessKey,
    TickAway
};

const char* Name(Event e) {
    static const char* const names[] = {"Move",     "LeftDown",  "LeftUp",    "RightUp", "MiddleUp",
                                        "GotFocus", "LostFocus", "AccessKey", "TickAway"};
    return names[static_cast<int>(e)];
}

const char* Name(BS s) {
    static const char* const names[] = {"Disable", "Normal", "HighLight", "Selected",
                                        "HighLightSelect"};
    return names[static_cast<int>(s)];
}

void Deliver(Command& button, Event e) {
    switch (e) {
    case Event::Move:
        button.OnMouseMove();
        break;
    case Event::LeftDown:
        button.OnMouseDown(MouseButton::Left);
        break;
    case Event::LeftUp:
        button.OnMouseUp(MouseButton::Left);
        break;
    case Event::RightUp:
        button.OnMouseUp(MouseButton::Right);
        break;
    case Event::MiddleUp:
        button.OnMouseUp(MouseButton::Middle);
        break;
    case Event::GotFocus:
        button.OnGotFocus();
        break;
    case Event::LostFocus:
        button.OnLostFocus();
        break;
    case Event::AccessKey:
        button.OnAccessKey();
        break;
    case Event::TickAway:
        button.OnMouseTimerTick(false);
        break;
    }
}

// Brings a ready button to a state the way a user would.
void Reach(ButtonRig& rig, BS state) {
    switch (state) {
    case BS::Normal:
        break;
    case BS::HighLight:
        rig.button.OnMouseMove();
        break;
    case BS::Selected:
        rig.button.OnGotFocus();
        break;
    case BS::HighLightSelect:
        rig.button.OnGotFocus();
        rig.button.OnMouseMove();
        break;
    case BS::Disable:
        break;
    }
    ASSERT_EQ(rig.button.State(), state);
}

struct Transition {
    BS from;
    Event event;
    BS to;
    std::vector<BP> painted;
    int clicks;
};

std::ostream& operator<<(std::ostream& os, const Transition& t) {
    return os << Name(t.from) << " on " << Name(t.event);
}

std::string TransitionName(const ::testing::TestParamInfo<Transition>& info) {
    return std::string(Name(info.param.from)) + "_" + Name(info.param.event);
}

class TransitionTable : public ::testing::TestWithParam<Transition> {};

TEST_P(TransitionTable, GivesTheStateThePicturesAndTheClicks) {
    const Transition& t = GetParam();
    ButtonRig rig;
    rig.Ready();
    Reach(rig, t.from);
    const size_t before = rig.surface.paints.size();

    Deliver(rig.button, t.event);

    EXPECT_EQ(rig.button.State(), t.to);
    EXPECT_EQ(rig.surface.PicturesSince(before), t.painted);
    EXPECT_EQ(rig.events.clicks, t.clicks);
}

// Every cell of the enabled button's table.
INSTANTIATE_TEST_SUITE_P(
    EnabledButton, TransitionTable,
    ::testing::Values(
        Transition{BS::Normal, Event::Move, BS::HighLight, {BP::HighLight}, 0},
        Transition{BS::Normal, Event::LeftDown, BS::Normal, {BP::Pressed}, 0},
        Transition{BS::Normal, Event::LeftUp, BS::Normal, {}, 1},
        Transition{BS::Normal, Event::RightUp, BS::Normal, {}, 1},
        Transition{BS::Normal, Event::MiddleUp, BS::Normal, {}, 1},
        Transition{BS::Normal, Event::GotFocus, BS::Selected, {BP::Selected}, 0},
        Transition{BS::Normal, Event::LostFocus, BS::Normal, {}, 0},
        Transition{BS::Normal,
                   Event::AccessKey,
                   BS::HighLightSelect,
                   {BP::Pressed, BP::HighLightSelect},
                   1},
        Transition{BS::Normal, Event::TickAway, BS::Normal, {}, 0},

        Transition{BS::HighLight, Event::Move, BS::HighLight, {}, 0},
        Transition{BS::HighLight, Event::LeftDown, BS::HighLight, {BP::Pressed}, 0},
        Transition{BS::HighLight, Event::LeftUp, BS::HighLight, {BP::Normal}, 1},
        Transition{BS::HighLight, Event::RightUp, BS::HighLight, {}, 1},
        Transition{BS::HighLight, Event::GotFocus, BS::HighLightSelect, {BP::Pressed}, 0},
        Transition{BS::HighLight, Event::LostFocus, BS::Normal, {BP::Normal}, 0},
        Transition{BS::HighLight,
                   Event::AccessKey,
                   BS::HighLightSelect,
                   {BP::Pressed, BP::HighLightSelect},
                   1},
        Transition{BS::HighLight, Event::TickAway, BS::Normal, {BP::Normal}, 0},

        Transition{BS::Selected, Event::Move, BS::HighLightSelect, {BP::HighLightSelect}, 0},
        Transition{BS::Selected, Event::LeftDown, BS::Selected, {BP::Pressed}, 0},
        Transition{BS::Selected, Event::LeftUp, BS::Selected, {}, 0},
        Transition{BS::Selected, Event::RightUp, BS::Selected, {}, 0},
        Transition{BS::Selected, Event::MiddleUp, BS::Selected, {}, 0},
        Transition{BS::Selected, Event::GotFocus, BS::Selected, {BP::Selected}, 0},
        Transition{BS::Selected, Event::LostFocus, BS::Normal, {BP::Normal}, 0},
        Transition{BS::Selected,
                   Event::AccessKey,
                   BS::HighLightSelect,
                   {BP::Pressed, BP::HighLightSelect},
                   1},
        Transition{BS::Selected, Event::TickAway, BS::Selected, {}, 0},

        Transition{BS::HighLightSelect, Event::Move, BS::HighLightSelect, {}, 0},
        Transition{BS::HighLightSelect, Event::LeftDown, BS::HighLightSelect, {BP::Pressed}, 0},
        Transition{
            BS::HighLightSelect, Event::LeftUp, BS::HighLightSelect, {BP::HighLightSelect}, 1},
        Transition{BS::HighLightSelect, Event::RightUp, BS::HighLightSelect, {}, 1},
        Transition{BS::HighLightSelect, Event::GotFocus, BS::Selected, {BP::Selected}, 0},
        Transition{BS::HighLightSelect, Event::LostFocus, BS::Normal, {BP::Normal}, 0},
        Transition{BS::HighLightSelect,
                   Event::AccessKey,
                   BS::HighLightSelect,
                   {BP::Pressed, BP::HighLightSelect},
                   1},
        Transition{BS::HighLightSelect, Event::TickAway, BS::Selected, {BP::Selected}, 0}),
    TransitionName);

class DisabledButton : public ::testing::TestWithParam<Event> {};

TEST_P(DisabledButton, IgnoresEveryEventOfTheTable) {
    ButtonRig rig;
    rig.Ready();
    rig.button.SetEnabled(false);
    ASSERT_EQ(rig.button.State(), BS::Disable);
    const size_t before = rig.surface.paints.size();

    Deliver(rig.button, GetParam());

    EXPECT_EQ(rig.button.State(), BS::Disable);
    EXPECT_EQ(rig.surface.paints.size(), before);
    EXPECT_EQ(rig.events.clicks, 0);
    EXPECT_FALSE(rig.button.MouseIsDown());
}

INSTANTIATE_TEST_SUITE_P(AllEvents, DisabledButton,
                         ::testing::Values(Event::Move, Event::LeftDown, Event::LeftUp,
                                           Event::RightUp, Event::MiddleUp, Event::GotFocus,
                                           Event::LostFocus, Event::AccessKey, Event::TickAway),
                         [](const ::testing::TestParamInfo<Event>& info) {
                             return std::string(Name(info.param));
                         });

TEST(Hover, TheTickWithTheCursorOnTheButtonChangesNothing) {
    for (BS state : {BS::Normal, BS::HighLight, BS::Selected, BS::HighLightSelect}) {
        ButtonRig rig;
        rig.Ready();
        Reach(rig, state);
        const size_t before = rig.surface.paints.size();
        rig.button.OnMouseTimerTick(true);
        EXPECT_EQ(rig.button.State(), state);
        EXPECT_EQ(rig.surface.paints.size(), before);
    }
}

TEST(Hover, LeavingWithoutClickingTurnsBackAtTheFirstTick) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnMouseMove();
    rig.button.OnMouseTimerTick(true);
    EXPECT_EQ(rig.button.State(), BS::HighLight);
    rig.button.OnMouseTimerTick(false);
    EXPECT_EQ(rig.button.State(), BS::Normal);
    const size_t before = rig.surface.paints.size();
    rig.button.OnMouseTimerTick(false); // at rest away from the cursor: no repaint
    EXPECT_EQ(rig.surface.paints.size(), before);
}

TEST(Hover, BeforeInitializeNoTickEndsTheHoverLook) {
    ButtonRig rig;
    rig.button.OnCreate();
    EXPECT_TRUE(rig.timer.starts.empty());
    rig.button.OnMouseMove();
    rig.button.OnMouseTimerTick(false);
    EXPECT_EQ(rig.button.State(), BS::HighLight);
}

TEST(Hover, InitializeStartsTheTimerEvery100Milliseconds) {
    ButtonRig rig;
    rig.button.OnCreate();
    const size_t paints = rig.surface.paints.size();
    rig.button.Initialize();
    EXPECT_EQ(rig.timer.starts, std::vector<int32_t>{100});
    EXPECT_EQ(rig.button.State(), BS::Normal);
    EXPECT_EQ(rig.surface.paints.size(), paints);
}

TEST(Hover, LosingTheFocusUnderTheCursorGivesNormalThenHighLightOnTheNextMove) {
    ButtonRig rig;
    rig.Ready();
    Reach(rig, BS::HighLightSelect);
    rig.button.OnLostFocus();
    EXPECT_EQ(rig.button.State(), BS::Normal);
    rig.button.OnMouseMove();
    EXPECT_EQ(rig.button.State(), BS::HighLight);
}

TEST(Click, ACompleteLeftClickOnAnUnfocusedButtonClicksOnce) {
    // The host may deliver the focus before or after the press.
    for (bool focusFirst : {false, true}) {
        ButtonRig rig;
        rig.Ready();
        rig.button.OnMouseMove();
        const size_t before = rig.surface.paints.size();
        if (focusFirst) {
            rig.button.OnGotFocus();
            rig.button.OnMouseDown(MouseButton::Left);
        } else {
            rig.button.OnMouseDown(MouseButton::Left);
            rig.button.OnGotFocus();
        }
        EXPECT_EQ(rig.button.State(), BS::HighLightSelect);
        EXPECT_EQ(rig.surface.PicturesSince(before), (std::vector<BP>{BP::Pressed, BP::Pressed}));
        EXPECT_TRUE(rig.button.MouseIsDown());
        EXPECT_EQ(rig.events.clicks, 0);

        rig.button.OnMouseUp(MouseButton::Left);
        EXPECT_EQ(rig.events.clicks, 1);
        EXPECT_EQ(rig.surface.Last().picture, BP::HighLightSelect);
        EXPECT_FALSE(rig.button.MouseIsDown());

        rig.button.OnMouseTimerTick(false);
        EXPECT_EQ(rig.button.State(), BS::Selected);
        EXPECT_EQ(rig.surface.Last().picture, BP::Selected);
        EXPECT_EQ(rig.events.clicks, 1);
    }
}

TEST(Click, ClickComesAfterTheReleasePaint) {
    ButtonRig rig;
    rig.Ready();
    Reach(rig, BS::HighLightSelect);
    size_t paintsAtClick = 0;
    rig.events.onClick = [&] { paintsAtClick = rig.surface.paints.size(); };
    const size_t before = rig.surface.paints.size();
    rig.button.OnMouseUp(MouseButton::Left);
    EXPECT_EQ(paintsAtClick, before + 1);
}

TEST(Click, PressLeaveTickReleaseOnAFocusedButtonCancelsTheClick) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnMouseMove();
    rig.button.OnMouseDown(MouseButton::Left);
    rig.button.OnGotFocus();
    rig.button.OnMouseTimerTick(false);
    rig.button.OnMouseTimerTick(false);
    EXPECT_EQ(rig.button.State(), BS::Selected);
    // Back over the button while still holding: the hover look does not return.
    rig.button.OnMouseMove();
    EXPECT_EQ(rig.button.State(), BS::Selected);
    rig.button.OnMouseUp(MouseButton::Left);
    EXPECT_EQ(rig.events.clicks, 0);
    EXPECT_FALSE(rig.button.MouseIsDown());
    // Released, the next move lights it up again.
    rig.button.OnMouseMove();
    EXPECT_EQ(rig.button.State(), BS::HighLightSelect);
}

TEST(Click, PressLeaveTickReleaseWithoutTheFocusStillClicks) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnMouseMove();
    rig.button.OnMouseDown(MouseButton::Left);
    rig.button.OnMouseTimerTick(false);
    EXPECT_EQ(rig.button.State(), BS::Normal);
    rig.button.OnMouseMove(); // moves while held come back to the button
    EXPECT_EQ(rig.button.State(), BS::HighLight);
    rig.button.OnMouseTimerTick(false);
    rig.button.OnMouseUp(MouseButton::Left);
    EXPECT_EQ(rig.events.clicks, 1);
}

TEST(Click, PressLeaveAndReleaseWithinOneTickClicks) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnMouseMove();
    rig.button.OnMouseDown(MouseButton::Left);
    rig.button.OnGotFocus();
    rig.button.OnMouseMove(); // off the button, still held
    rig.button.OnMouseUp(MouseButton::Left);
    EXPECT_EQ(rig.events.clicks, 1);
}

TEST(Click, RightButtonReleaseClicksWithoutThePressedLook) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnMouseMove();
    const size_t before = rig.surface.paints.size();
    rig.button.OnMouseDown(MouseButton::Right);
    EXPECT_EQ(rig.surface.paints.size(), before);
    EXPECT_FALSE(rig.button.MouseIsDown());
    rig.button.OnMouseUp(MouseButton::Right);
    EXPECT_EQ(rig.surface.paints.size(), before);
    EXPECT_EQ(rig.events.clicks, 1);
    EXPECT_EQ(rig.button.State(), BS::HighLight);
}

TEST(Click, ARightReleaseDoesNotClearALeftPress) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnMouseDown(MouseButton::Left);
    rig.button.OnMouseUp(MouseButton::Right);
    EXPECT_TRUE(rig.button.MouseIsDown());
}

TEST(AccessKey, ClicksOnceAndLeavesTheFocusToTheHost) {
    ButtonRig rig;
    rig.Ready();
    const size_t before = rig.surface.paints.size();
    rig.button.OnAccessKey();
    EXPECT_EQ(rig.events.clicks, 1);
    EXPECT_EQ(rig.surface.PicturesSince(before),
              (std::vector<BP>{BP::Pressed, BP::HighLightSelect}));
    EXPECT_EQ(rig.button.State(), BS::HighLightSelect);
    // The cursor is elsewhere: the next tick shows the focused look.
    rig.button.OnMouseTimerTick(false);
    EXPECT_EQ(rig.button.State(), BS::Selected);
}

TEST(AccessKey, ClearsAPendingLeftPress) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnMouseDown(MouseButton::Left);
    rig.button.OnAccessKey();
    EXPECT_FALSE(rig.button.MouseIsDown());
}

TEST(Disabled, NoClickFromAnyMouseButtonOrTheAccessKey) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnMouseMove();
    rig.button.SetEnabled(false);
    for (MouseButton b : {MouseButton::Left, MouseButton::Right, MouseButton::Middle}) {
        rig.button.OnMouseDown(b);
        rig.button.OnMouseUp(b);
    }
    rig.button.OnAccessKey();
    EXPECT_EQ(rig.events.clicks, 0);
}

TEST(Disabled, AReleaseWhileDisabledLeavesThePressPending) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnMouseDown(MouseButton::Left);
    rig.button.SetEnabled(false);
    rig.button.OnMouseUp(MouseButton::Left);
    EXPECT_TRUE(rig.button.MouseIsDown());
    rig.button.SetEnabled(true);
    rig.button.OnMouseUp(MouseButton::Left);
    EXPECT_FALSE(rig.button.MouseIsDown());
}

TEST(Disabled, InitializeGivesNormalUntilTheNextTickPaintsDisable) {
    ButtonRig rig;
    rig.button.OnCreate();
    rig.button.SetEnabled(false);
    const size_t before = rig.surface.paints.size();
    rig.button.Initialize();
    EXPECT_EQ(rig.button.State(), BS::Normal);
    EXPECT_EQ(rig.surface.paints.size(), before);

    rig.button.OnMouseTimerTick(false);
    EXPECT_EQ(rig.button.State(), BS::Disable);
    EXPECT_EQ(rig.surface.PicturesSince(before), std::vector<BP>{BP::Disable});
    rig.button.OnMouseTimerTick(false);
    EXPECT_EQ(rig.surface.paints.size(), before + 1);
}

TEST(Reentry, ATickInsideTheClickHandlerActsOnTheStateOfThatMoment) {
    ButtonRig rig;
    rig.Ready();
    Reach(rig, BS::HighLightSelect);
    rig.events.onClick = [&] { rig.button.OnMouseTimerTick(false); };
    rig.button.OnMouseUp(MouseButton::Left);
    EXPECT_EQ(rig.events.clicks, 1);
    EXPECT_EQ(rig.button.State(), BS::Selected);
    EXPECT_EQ(rig.surface.Last().picture, BP::Selected);
}

} // namespace
} // namespace kt::test
