#include "FakeButtonHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kt::test {
namespace {

using BS = ButtonState;
using BP = ButtonPicture;

constexpr GradientPoint White(int32_t x, int32_t y) {
    return GradientPoint{x, y, 0xFF00, 0xFF00, 0xFF00};
}
constexpr GradientPoint Shade(int32_t x, int32_t y) {
    return GradientPoint{x, y, 0xC600, 0xC500, 0xD700};
}

TEST(Paint, OneRepaintInTheFixedOrder) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnGotFocus();
    EXPECT_EQ(rig.surface.Last().calls,
              (std::vector<std::string>{"Clear", "Gradient", "Piece", "Piece", "Piece", "Piece",
                                        "Piece", "Piece", "Piece", "Piece", "Measure", "Text",
                                        "Present", "HideFocus", "ShowFocus"}));
}

TEST(Gradient, NormalIsWhiteAtTheTopAndHighLightTheOtherWayRound) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnResize();
    // The far corner is exclusive: the last row and column are the frame's.
    auto normal = std::make_pair(White(0, 0), Shade(148, 28));
    EXPECT_EQ(rig.surface.Last().gradient, normal);
    EXPECT_FALSE(rig.button.GradientReversed());

    rig.button.OnMouseMove();
    auto reversed = std::make_pair(Shade(0, 0), White(148, 28));
    EXPECT_EQ(rig.surface.Last().gradient, reversed);

    rig.button.OnMouseTimerTick(false);
    EXPECT_EQ(rig.surface.Last().gradient, normal);
}

TEST(Gradient, HighLightSelectKeepsTheDirectionItCameWith) {
    ButtonRig fromHover;
    fromHover.Ready();
    fromHover.button.OnMouseMove();
    fromHover.button.OnGotFocus();
    ASSERT_EQ(fromHover.button.State(), BS::HighLightSelect);
    EXPECT_EQ(fromHover.surface.Last().gradient->first, Shade(0, 0));

    ButtonRig fromFocus;
    fromFocus.Ready();
    fromFocus.button.OnGotFocus();
    fromFocus.button.OnMouseMove();
    ASSERT_EQ(fromFocus.button.State(), BS::HighLightSelect);
    EXPECT_EQ(fromFocus.surface.Last().gradient->first, White(0, 0));
}

TEST(Gradient, RedrawOfAHoveredButtonPaintsNormalOnTheReversedFace) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnMouseMove();
    rig.button.SetCaption("Add");
    EXPECT_EQ(rig.button.State(), BS::HighLight);
    EXPECT_EQ(rig.surface.Last().picture, BP::Normal);
    EXPECT_EQ(rig.surface.Last().gradient->first, Shade(0, 0));
}

TEST(Gradient, AFailedFillLeavesTheClearedFaceAndTheRestIsPainted) {
    ButtonRig rig;
    rig.Ready();
    rig.surface.gradientWorks = false;
    rig.button.OnGotFocus();
    const RecordedPaint& p = rig.surface.Last();
    EXPECT_FALSE(p.gradient.has_value());
    EXPECT_EQ(p.pieces.size(), 8u);
    EXPECT_TRUE(p.drawnIn.has_value());
    EXPECT_TRUE(p.focus.has_value());
    EXPECT_EQ(p.calls.back(), "ShowFocus");
}

TEST(Pieces, EightPiecesCutFromThePictureForA149By29Button) {
    ButtonRig rig;
    rig.Ready();
    rig.button.OnResize();
    using R = PixelRect;
    // source, destination
    const std::vector<std::pair<R, R>> expected{
        {R{0, 0, 4, 4}, R{0, 0, 4, 4}},         // top-left corner
        {R{4, 0, 60, 4}, R{4, 0, 145, 4}},      // top edge
        {R{60, 0, 64, 4}, R{145, 0, 149, 4}},   // top-right corner
        {R{60, 4, 64, 21}, R{145, 4, 149, 25}}, // right edge
        {R{60, 21, 64, 25}, R{145, 25, 149, 29}},
        {R{4, 21, 60, 25}, R{4, 25, 145, 29}}, // bottom edge
        {R{0, 21, 4, 25}, R{0, 25, 4, 29}},
        {R{0, 4, 4, 21}, R{0, 4, 4, 25}}, // left edge
    };
    EXPECT_EQ(rig.surface.Last().pieces, expected);
    EXPECT_EQ(rig.surface.Last().picture, BP::Normal);
}

TEST(Pieces, A64By25ButtonShowsEveryBandUnscaled) {
    ButtonRig rig;
    rig.surface.size = PixelSize{64, 25};
    rig.Ready();
    for (const auto& [source, destination] : rig.surface.Last().pieces) {
        EXPECT_EQ(source, destination);
    }
    EXPECT_EQ(rig.surface.Last().pieces.size(), 8u);
}

TEST(Pieces, AtTwiceTheDensityTheFrameIsTwiceAsWide) {
    ButtonRig rig;
    rig.surface.size = PixelSize{128, 50};
    rig.surface.twipsPerPixel = 7.5;
    rig.Ready();
    const auto& pieces = rig.surface.Last().pieces;
    ASSERT_EQ(pieces.size(), 8u);
    EXPECT_EQ(pieces[0].second, (PixelRect{0, 0, 8, 8}));
    EXPECT_EQ(pieces[3].first, (PixelRect{60, 4, 64, 21}));
    EXPECT_EQ(pieces[3].second, (PixelRect{120, 8, 128, 42}));
}

TEST(Pieces, TwipsBecomeTheNearestPixel) {
    ButtonRig rig;
    rig.surface.size = PixelSize{100, 30};
    rig.surface.twipsPerPixel = 9; // 160 dots per inch: a 60-twip corner is 6.67 pixels
    rig.Ready();
    EXPECT_EQ(rig.surface.Last().pieces[0].second, (PixelRect{0, 0, 7, 7}));
    EXPECT_EQ(rig.surface.Last().pieces[1].second, (PixelRect{7, 0, 93, 7}));
}

TEST(Pieces, GeometryThatCannotBeReadOrHeldKeepsThePreviousPaints) {
    ButtonRig rig;
    rig.surface.twipsPerPixel = 1; // one twip a pixel makes the 16-bit limit reachable
    rig.surface.size = PixelSize{32887, 200};
    rig.Ready();
    EXPECT_EQ(rig.surface.Last().pieces[2].second, (PixelRect{32827, 1, 32887, 61}));

    rig.surface.size = PixelSize{32888, 300};
    rig.button.OnResize();
    // The width no longer fits: the right pieces stay where they were; the height follows.
    EXPECT_EQ(rig.surface.Last().pieces[4].second, (PixelRect{32827, 240, 32887, 300}));

    rig.surface.size.reset();
    rig.button.OnResize();
    const RecordedPaint& p = rig.surface.Last();
    EXPECT_EQ(p.pieces[4].second, (PixelRect{32827, 240, 32887, 300}));
    EXPECT_FALSE(p.gradient.has_value());
    EXPECT_FALSE(p.drawnIn.has_value());
    EXPECT_EQ(p.calls.back(), "HideFocus");
    EXPECT_NE(std::find(p.calls.begin(), p.calls.end(), "Present"), p.calls.end());
}

TEST(Caption, DrawnCentredInTheFaceInTheFontColour) {
    ButtonRig rig;
    rig.Ready();
    rig.button.SetFontColour(0x0000FF);
    rig.button.SetCaption("Blocked &Local Ports");
    const RecordedPaint& p = rig.surface.Last();
    EXPECT_EQ(p.text, "Blocked &Local Ports");
    EXPECT_EQ(p.measuredIn, (PixelRect{4, 0, 145, 29}));
    EXPECT_EQ(p.drawnIn, (PixelRect{4, 8, 145, 29})); // (29 - 13) / 2
    EXPECT_EQ(p.textColour, 0x0000FFu);
    EXPECT_EQ(p.accessKey, "L");
}

TEST(Caption, TopIsRoundedHalfToEvenAndMayLieAboveTheButton) {
    struct Case {
        int32_t height, textHeight, top;
    };
    for (Case c : {Case{30, 13, 8}, Case{32, 13, 10}, Case{29, 40, -6}, Case{25, 25, 0}}) {
        ButtonRig rig;
        rig.surface.size = PixelSize{100, c.height};
        rig.surface.textHeight = c.textHeight;
        rig.Ready();
        EXPECT_EQ(rig.surface.Last().drawnIn->Top, c.top) << c.height << " " << c.textHeight;
    }
}

TEST(Caption, EmptyCaptionDrawsNoText) {
    ButtonRig rig;
    rig.Ready();
    rig.button.SetCaption("");
    const auto& calls = rig.surface.Last().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Measure"), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Text"), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Present"), 1);
}

TEST(Caption, AFailedMeasureLeavesTheButtonWithoutText) {
    ButtonRig rig;
    rig.surface.textHeight.reset();
    rig.Ready();
    const auto& calls = rig.surface.Last().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Measure"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Text"), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Present"), 1);
}

TEST(FocusLines, OnlySelectedAndHighLightSelectShowThem) {
    ButtonRig rig;
    rig.Ready();
    const FocusLines expected{PixelLine{4, 4, 4, 25}, PixelLine{4, 4, 145, 4},
                              PixelLine{144, 4, 144, 25}, PixelLine{4, 24, 145, 24}};

    rig.button.OnGotFocus(); // Selected
    EXPECT_EQ(rig.surface.Last().focus, expected);
    rig.button.OnMouseMove(); // HighLightSelect
    EXPECT_EQ(rig.surface.Last().focus, expected);
    rig.button.OnMouseDown(MouseButton::Left); // Pressed picture, state HighLightSelect
    EXPECT_EQ(rig.surface.Last().picture, BP::Pressed);
    EXPECT_TRUE(rig.surface.focusShown);
    rig.button.SetCaption("x"); // Normal picture while focused
    EXPECT_EQ(rig.surface.Last().picture, BP::Normal);
    EXPECT_TRUE(rig.surface.focusShown);

    rig.button.OnLostFocus(); // Normal
    EXPECT_FALSE(rig.surface.Last().focus.has_value());
    EXPECT_FALSE(rig.surface.focusShown);
    rig.button.OnMouseMove(); // HighLight
    EXPECT_FALSE(rig.surface.focusShown);
    rig.button.SetEnabled(false); // Disable
    EXPECT_FALSE(rig.surface.focusShown);
}

TEST(Disabled, PaintedGreyWithoutAccessKeyOrFocusLinesKeepingTheGradient) {
    ButtonRig rig;
    rig.Ready();
    rig.button.SetFontColour(0x123456);
    rig.button.SetCaption("&Add");
    rig.button.OnGotFocus();
    rig.button.OnMouseMove(); // HighLightSelect on the normal face
    rig.button.OnLostFocus();
    rig.button.OnMouseMove(); // HighLight: reversed face
    ASSERT_TRUE(rig.button.GradientReversed());

    rig.button.SetEnabled(false);
    const RecordedPaint& p = rig.surface.Last();
    EXPECT_EQ(rig.button.State(), BS::Disable);
    EXPECT_EQ(p.picture, BP::Disable);
    EXPECT_EQ(p.textColour, DisabledTextColour);
    EXPECT_EQ(p.accessKey, "");
    EXPECT_FALSE(p.focus.has_value());
    EXPECT_EQ(p.gradient->first, Shade(0, 0));
    EXPECT_EQ(rig.button.FontColour(), 0xC0C0C0u);

    rig.button.SetEnabled(true);
    EXPECT_EQ(rig.button.State(), BS::Normal);
    EXPECT_EQ(rig.surface.Last().textColour, 0x123456u);
    EXPECT_EQ(rig.surface.Last().accessKey, "A");
    EXPECT_EQ(rig.surface.Last().gradient->first, White(0, 0));
}

TEST(Pieces, AButtonTooSmallForItsFrameGetsNoEmptyOrMirroredPieces) {
    ButtonRig rig;
    rig.surface.size = PixelSize{6, 6};
    rig.Ready();
    for (const auto& [source, destination] : rig.surface.Last().pieces) {
        EXPECT_GT(destination.Width(), 0);
        EXPECT_GT(destination.Height(), 0);
    }
    EXPECT_EQ(rig.surface.Last().pieces.size(), 4u); // the corners only
}

} // namespace
} // namespace kt::test
