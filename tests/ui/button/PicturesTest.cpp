#include "ui/button/Pictures.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

constexpr Colour Blue = 0x743C00;       // #003C74
constexpr Colour Grey = 0xBAC7C9;       // #C9C7BA
constexpr Colour Window = 0xD8E9EC;     // #ECE9D8
constexpr Colour WarmTop = 0xCFF0FF;    // #FFF0CF
constexpr Colour WarmBottom = 0x0097E5; // #E59700
constexpr Colour BlueTop = 0xFFE7CE;    // #CEE7FF
constexpr Colour BlueBottom = 0xEE8269; // #6982EE

TEST(Pictures, FramesSitOneInOrOnTheEdgeWithRoundedCorners) {
    struct Case {
        ButtonPicture picture;
        int32_t inset;
        Colour frame;
    };
    for (Case c :
         {Case{ButtonPicture::Normal, 1, Blue}, Case{ButtonPicture::HighLight, 1, Blue},
          Case{ButtonPicture::Pressed, 1, Blue}, Case{ButtonPicture::Disable, 1, Grey},
          Case{ButtonPicture::Selected, 0, Blue}, Case{ButtonPicture::HighLightSelect, 0, Blue}}) {
        const PictureBitmap b = DrawPicture(c.picture);
        const int32_t i = c.inset;
        const int32_t right = PictureBitmap::Width - 1 - i;
        const int32_t bottom = PictureBitmap::Height - 1 - i;
        SCOPED_TRACE(static_cast<int>(c.picture));
        EXPECT_EQ(b.At(i, 12), c.frame);
        EXPECT_EQ(b.At(right, 12), c.frame);
        EXPECT_EQ(b.At(30, i), c.frame);
        EXPECT_EQ(b.At(30, bottom), c.frame);
        EXPECT_EQ(b.At(i + 1, i), c.frame);
        // Rounded: the corner pixel of the outline belongs to the window face.
        EXPECT_EQ(b.At(i, i), Window);
        EXPECT_EQ(b.At(right, bottom), Window);
        EXPECT_EQ(b.At(0, 0), Window);
    }
}

TEST(Pictures, RingsRunFromTheirTopColourToTheirBottomColour) {
    const PictureBitmap hover = DrawPicture(ButtonPicture::HighLight);
    EXPECT_EQ(hover.At(30, 2), WarmTop);
    EXPECT_EQ(hover.At(30, 22), WarmBottom);
    EXPECT_EQ(hover.At(2, 12), hover.At(61, 12));

    const PictureBitmap focus = DrawPicture(ButtonPicture::Selected);
    EXPECT_EQ(focus.At(30, 1), BlueTop);
    EXPECT_EQ(focus.At(30, 23), BlueBottom);

    const PictureBitmap both = DrawPicture(ButtonPicture::HighLightSelect);
    EXPECT_EQ(both.At(30, 1), WarmTop);
    EXPECT_EQ(both.At(30, 23), WarmBottom);
    EXPECT_EQ(both.At(0, 12), Blue);
}

TEST(Pictures, PressedShowsADarkBandWhereNormalShowsALightOne) {
    const PictureBitmap normal = DrawPicture(ButtonPicture::Normal);
    const PictureBitmap pressed = DrawPicture(ButtonPicture::Pressed);
    auto brightness = [](Colour c) { return (c & 0xFF) + ((c >> 8) & 0xFF) + ((c >> 16) & 0xFF); };
    EXPECT_GT(brightness(normal.At(30, 2)), brightness(pressed.At(30, 2)));
    EXPECT_GT(brightness(normal.At(30, 12)), brightness(pressed.At(30, 12)));
}

} // namespace
} // namespace kt
