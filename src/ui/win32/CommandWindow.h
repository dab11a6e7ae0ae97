#pragma once

// The skinned push button as a Win32 window class: one window per kt::Command, painting into a
// back image of its own and feeding the model the window's mouse, focus and timer messages.

#include "ui/button/Command.h"
#include "ui/button/MemoryPropertyBag.h"
#include "ui/win32/Handles.h"

#include <windows.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace kt::win32 {

// The six button pictures from the program's resources, shared by every button of a window.
class ButtonPictures {
public:
    // False when a picture is missing from the module's resources.
    bool Load(HINSTANCE instance);
    HBITMAP Get(ButtonPicture picture) const;

private:
    std::array<UniqueBitmap, 6> bitmaps_;
};

// A font in the screen's scale.
UniqueFont CreateButtonFont(const ButtonFont& font);

class CommandWindow final : ButtonSurface, ButtonEvents, ButtonContainer, ButtonTimer {
public:
    static constexpr const wchar_t* ClassName = L"KorvanTessivoCommand";
    static bool Register(HINSTANCE instance);

    // A visible child of parent with the given control id, in pixels; null when the window could
    // not be made. The button starts fresh ("Command"), as a button does before its settings
    // are read.
    static std::unique_ptr<CommandWindow> Create(HWND parent, HINSTANCE instance, int controlId,
                                                 const RECT& place, const ButtonPictures& pictures,
                                                 ButtonFont ambientFont,
                                                 std::function<void()> onClick);
    ~CommandWindow() override;
    CommandWindow(const CommandWindow&) = delete;
    CommandWindow& operator=(const CommandWindow&) = delete;

    HWND Handle() const { return window_.get(); }
    Command& Model() { return command_; }
    // The character of the button's access key; 0 for none.
    wchar_t AccessKey() const { return accessKey_; }

    // What the back image holds at a pixel, for inspection; CLR_INVALID outside it.
    COLORREF BackImagePixel(int x, int y) const;
    bool FocusLinesShown() const { return focusLines_.has_value(); }
    int PaintCount() const { return paintCount_; }

private:
    // Only Create makes buttons: the window must exist for the object to be usable.
    struct Key {
        explicit Key() = default;
    };

public:
    CommandWindow(Key, const ButtonPictures& pictures, ButtonFont ambientFont,
                  std::function<void()> onClick);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void ResizeBackImage();
    // The back image and the focus lines, or the container's background when transparent.
    void PaintTo(HDC dc);
    void PaintImage(HDC dc);
    void PaintFocusLines(HDC dc);
    void PressWith(MouseButton button);
    void ReleaseWith(MouseButton button);
    void OnTimer();

    // ButtonSurface
    std::optional<PixelSize> Size() override;
    double TwipsPerPixel() override;
    void Clear() override;
    bool FillVerticalGradient(const GradientPoint& top, const GradientPoint& bottom) override;
    void DrawPicturePiece(ButtonPicture picture, const PixelRect& source,
                          const PixelRect& destination) override;
    std::optional<int32_t> MeasureWrappedText(std::string_view text,
                                              const PixelRect& bounds) override;
    void DrawWrappedText(std::string_view text, const PixelRect& bounds) override;
    void Present() override;
    void HideFocusLines() override;
    void ShowFocusLines(const FocusLines& lines) override;
    ButtonFont Font() override { return font_; }
    void SetFont(const ButtonFont& font) override;
    Colour TextColour() override { return textColour_; }
    void SetTextColour(Colour colour) override { textColour_ = colour & 0xFFFFFF; }
    bool Opaque() override { return opaque_; }
    void SetOpaque(bool opaque) override;
    void SetAccessKey(std::string_view key) override;

    // ButtonEvents
    void PropertyChanged(std::string_view) override { settingsChanged_ = true; }
    void Click() override;

    // ButtonContainer
    std::optional<ButtonFont> AmbientFont() override { return ambientFont_; }

    // ButtonTimer
    void Start(int32_t intervalMilliseconds) override;

    static constexpr UINT_PTR MouseTimerId = 1;

    const ButtonPictures& pictures_;
    ButtonFont ambientFont_;
    std::function<void()> onClick_;
    UniqueWindow window_;
    MemoryDc backDc_;
    UniqueBitmap backImage_;
    SIZE backSize_{0, 0};
    MemoryDc pictureDc_;
    ButtonFont font_;
    UniqueFont fontHandle_;
    Colour textColour_ = 0;
    bool opaque_ = true;
    wchar_t accessKey_ = 0;
    std::optional<FocusLines> focusLines_;
    bool settingsChanged_ = false;
    int paintCount_ = 0;
    Command command_;
};

} // namespace kt::win32
