// The skinned button's window: what its back image and its screen show in each state, and the
// clicks its messages raise.

#include "ui/win32/CommandWindow.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kt::test {
namespace {

using win32::CommandWindow;

void ClickButtonAt(HWND button) {
    SendMessageW(button, WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
    SendMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(button, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
}

LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

// A top-level window holding one button of 149 x 29 pixels.
class CommandWindowTest : public ::testing::Test {
public:
    static constexpr int Width = 149;
    static constexpr int Height = 29;

    void SetUp() override {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW wc{};
        wc.lpfnWndProc = &PlainProc;
        wc.hInstance = instance;
        wc.lpszClassName = L"KorvanTessivoButtonTestParent";
        RegisterClassW(&wc);
        parent.reset(CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                                     40, 300, 120, nullptr, nullptr, instance, nullptr));
        ASSERT_NE(parent.get(), nullptr);
        ASSERT_TRUE(pictures.Load(instance));
        button =
            CommandWindow::Create(parent.get(), instance, 1, RECT{10, 10, 10 + Width, 10 + Height},
                                  pictures, ButtonFont{}, [this] { ++clicks; });
        ASSERT_NE(button, nullptr);
        button->Model().SetCaption("Blocked Local Ports");
    }
    void TearDown() override {
        button.reset();
        parent.reset();
    }

    COLORREF Face(int y) const { return button->BackImagePixel(Width / 2, y); }

    // What the screen would show: the back image and the focus lines, printed into a bitmap.
    COLORREF Printed(int x, int y) {
        HDC screen = GetDC(nullptr);
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP image = CreateCompatibleBitmap(screen, Width, Height);
        ReleaseDC(nullptr, screen);
        HGDIOBJ old = SelectObject(memory, image);
        SendMessageW(button->Handle(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
                     PRF_CLIENT);
        const COLORREF pixel = GetPixel(memory, x, y);
        SelectObject(memory, old);
        DeleteObject(image);
        DeleteDC(memory);
        return pixel;
    }

    // Pixels of the caption's area in exactly this colour.
    int CaptionPixels(COLORREF colour) const {
        int count = 0;
        for (int y = 5; y < Height - 5; ++y) {
            for (int x = 5; x < Width - 5; ++x) {
                count += button->BackImagePixel(x, y) == colour ? 1 : 0;
            }
        }
        return count;
    }

    win32::UniqueWindow parent;
    win32::ButtonPictures pictures;
    std::unique_ptr<CommandWindow> button;
    int clicks = 0;
};

// The face shades evenly from one colour at row 0 to the other at the last row.
void ExpectGradient(const CommandWindowTest& test, COLORREF (CommandWindowTest::*face)(int) const,
                    COLORREF top, COLORREF bottom, int height) {
    for (int y : {4, height / 2, height - 5}) {
        SCOPED_TRACE(y);
        const COLORREF pixel = (test.*face)(y);
        auto expected = [&](int a, int b) { return a + (b - a) * y / (height - 1); };
        EXPECT_NEAR(GetRValue(pixel), expected(GetRValue(top), GetRValue(bottom)), 3);
        EXPECT_NEAR(GetGValue(pixel), expected(GetGValue(top), GetGValue(bottom)), 3);
        EXPECT_NEAR(GetBValue(pixel), expected(GetBValue(top), GetBValue(bottom)), 3);
    }
}

constexpr COLORREF White = RGB(0xFF, 0xFF, 0xFF);
constexpr COLORREF Shade = RGB(0xC6, 0xC5, 0xD7);
constexpr COLORREF FocusLine = RGB(0x00, 0x3C, 0x74);

TEST_F(CommandWindowTest, NormalFaceIsWhiteAtTheTopAndShadeAtTheBottom) {
    ASSERT_EQ(button->Model().State(), ButtonState::Normal);
    ExpectGradient(*this, &CommandWindowTest::Face, White, Shade, Height);
    // The frame's corner comes from picture Normal: its dark blue outline one pixel in.
    EXPECT_EQ(button->BackImagePixel(Width / 2, 1), RGB(0x00, 0x3C, 0x74));
    EXPECT_GT(CaptionPixels(RGB(0, 0, 0)), 20);
}

TEST_F(CommandWindowTest, HighLightReversesTheGradient) {
    SendMessageW(button->Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
    ASSERT_EQ(button->Model().State(), ButtonState::HighLight);
    ExpectGradient(*this, &CommandWindowTest::Face, Shade, White, Height);
}

TEST_F(CommandWindowTest, FocusLinesShowOnlyWhileSelected) {
    const POINT onLines[] = {
        {4, Height / 2}, {Width / 2, 4}, {Width - 5, Height / 2}, {Width / 2, Height - 5}};
    for (const POINT& p : onLines) {
        EXPECT_NE(Printed(p.x, p.y), FocusLine);
    }
    SetFocus(button->Handle());
    ASSERT_EQ(button->Model().State(), ButtonState::Selected);
    EXPECT_TRUE(button->FocusLinesShown());
    for (const POINT& p : onLines) {
        SCOPED_TRACE(testing::Message() << p.x << "," << p.y);
        EXPECT_EQ(Printed(p.x, p.y), FocusLine);
    }
    // Not in the back image: they are drawn over it.
    EXPECT_NE(button->BackImagePixel(4, Height / 2), FocusLine);

    SetFocus(parent.get());
    EXPECT_EQ(button->Model().State(), ButtonState::Normal);
    EXPECT_FALSE(button->FocusLinesShown());
    EXPECT_NE(Printed(4, Height / 2), FocusLine);
}

TEST_F(CommandWindowTest, DisabledCaptionIsGreyAndKeepsNoAccessKey) {
    button->Model().SetCaption("&Blocked");
    EXPECT_EQ(button->AccessKey(), L'B');
    button->Model().SetEnabled(false);
    EXPECT_EQ(button->Model().State(), ButtonState::Disable);
    EXPECT_GT(CaptionPixels(RGB(0xC0, 0xC0, 0xC0)), 20);
    EXPECT_EQ(CaptionPixels(RGB(0, 0, 0)), 0);
    EXPECT_EQ(button->AccessKey(), 0);
    // Picture Disable's grey outline.
    EXPECT_EQ(button->BackImagePixel(Width / 2, 1), RGB(0xC9, 0xC7, 0xBA));
}

TEST_F(CommandWindowTest, ClickIsRaisedOnTheReleaseAsTheModelSays) {
    button->Model().Initialize();
    SendMessageW(button->Handle(), WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
    SendMessageW(button->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    EXPECT_EQ(GetCapture(), button->Handle());
    EXPECT_EQ(GetFocus(), button->Handle());
    EXPECT_EQ(clicks, 0);
    SendMessageW(button->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_EQ(button->Model().State(), ButtonState::HighLightSelect);

    // The cursor is not over the button: the next tick of the hover timer ends the hover...
    POINT cursor{};
    ASSERT_TRUE(GetCursorPos(&cursor));
    ASSERT_NE(WindowFromPoint(cursor), button->Handle()) << "the test needs the cursor elsewhere";
    SendMessageW(button->Handle(), WM_TIMER, 1, 0);
    EXPECT_EQ(button->Model().State(), ButtonState::Selected);
    // ...and a press and release in Selected raises nothing.
    SendMessageW(button->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(button->Handle(), WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(clicks, 1);

    // A right release over a button that is not Selected clicks.
    SetFocus(parent.get());
    SendMessageW(button->Handle(), WM_RBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(clicks, 2);

    // A disabled button takes no click from any button.
    button->Model().SetEnabled(false);
    ClickButtonAt(button->Handle());
    SendMessageW(button->Handle(), WM_RBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(clicks, 2);
}

} // namespace
} // namespace kt::test
