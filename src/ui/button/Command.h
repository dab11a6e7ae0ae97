#pragma once

// The skinned push button: its state machine, properties, persistence and paint program. The
// host window system delivers events to the On... handlers and supplies the interfaces of
// CommandHost.h; everything else happens here.

#include "ui/button/CommandHost.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace kt {

enum class ButtonState : uint8_t {
    Disable = 0,
    Normal = 1,
    HighLight = 2,
    Selected = 3,
    HighLightSelect = 4
};

enum class MouseButton : int16_t { Left = 1, Right = 2, Middle = 4 };

inline constexpr Colour DisabledTextColour = 0xC0C0C0;
inline constexpr int32_t MouseTimerInterval = 100;

// The access key a caption gives: the character after its first "&", or empty.
std::string AccessKeyOf(std::string_view caption);

class Command {
public:
    Command(ButtonSurface& surface, ButtonEvents& events, ButtonContainer& container,
            ButtonTimer& timer);
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Once, as soon as the surface can be drawn on: the fresh button captioned "Command".
    void OnCreate();
    // Once after the container has loaded its buttons: starts hover tracking.
    void Initialize();

    // Properties. Every write tells ButtonEvents::PropertyChanged and repaints.
    const std::string& Caption() const { return caption_; }
    void SetCaption(std::string_view caption);
    bool Enabled();
    void SetEnabled(bool enabled);
    ButtonFont Font();
    void SetFont(const ButtonFont& font);
    Colour FontColour();
    void SetFontColour(Colour colour);
    uint8_t Visible();
    void SetVisible(uint8_t visible);

    // Persistence into the host's property bag.
    void ReadProperties(ButtonPropertyBag& bag);
    void WriteProperties(ButtonPropertyBag& bag);

    // Events from the host window system.
    void OnResize();
    void OnMouseDown(MouseButton button);
    void OnMouseMove();
    void OnMouseUp(MouseButton button);
    void OnGotFocus();
    void OnLostFocus();
    void OnAccessKey();
    // The hover timer fired; cursorOverOwnWindow is false also when the cursor's position or the
    // window under it could not be found.
    void OnMouseTimerTick(bool cursorOverOwnWindow);

    // Inspection.
    ButtonState State() const { return state_; }
    bool MouseIsDown() const { return mouseIsDown_; }
    bool GradientReversed() const { return gradientReversed_; }
    uint8_t FirstRun() const { return firstRun_; }

private:
    void Redraw();
    void PaintState(ButtonPicture picture);
    void FillGradient();
    void DrawCaption();
    void EndHover();
    void SetState(ButtonState state);
    // Whether EndHover would change anything.
    bool HoverCanEnd() const;

    ButtonSurface& surface_;
    ButtonEvents& events_;
    ButtonContainer& container_;
    ButtonTimer& timer_;

    uint8_t firstRun_ = 0;
    bool enabled_ = false;
    bool mouseIsDown_ = false;
    std::string caption_;
    ButtonState state_ = ButtonState::Disable;
    Colour fontColour_ = 0;
    bool gradientReversed_ = false;
    // Piece geometry in twips: the button's width and height less two corners.
    int16_t innerWidthTwips_ = 0;
    int16_t innerHeightTwips_ = 0;
    bool timerStarted_ = false;
    bool timerPaused_ = false;
};

} // namespace kt
