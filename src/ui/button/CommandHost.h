#pragma once

// What a skinned push button needs from the window system that hosts it. A front end (Win32 or
// Qt) implements these five interfaces once per button and feeds the button's events to
// kt::Command (Command.h). Nothing here names an OS call; every length is in pixels unless it
// says otherwise, every colour is laid out 0x00BBGGRR.

#include "list/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kt {

using Colour = uint32_t;

// The six pictures of the button, each 64 x 25 pixels. The front end owns the bitmaps.
enum class ButtonPicture : uint8_t {
    Disable,
    Normal,
    HighLight,
    Selected,
    HighLightSelect,
    Pressed
};

// Left and top inclusive, right and bottom exclusive.
struct PixelRect {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Right = 0;
    int32_t Bottom = 0;
    int32_t Width() const { return Right - Left; }
    int32_t Height() const { return Bottom - Top; }
    bool operator==(const PixelRect&) const = default;
};

struct PixelSize {
    int32_t Width = 0;
    int32_t Height = 0;
    bool operator==(const PixelSize&) const = default;
};

// One end of a vertical gradient: a position and a colour whose 16-bit channels carry the colour
// byte in their high byte (0xC600 for 0xC6).
struct GradientPoint {
    int32_t X = 0;
    int32_t Y = 0;
    uint16_t Red = 0;
    uint16_t Green = 0;
    uint16_t Blue = 0;
    bool operator==(const GradientPoint&) const = default;
};

// A one-pixel line from (X1, Y1) to (X2, Y2), both ends included.
struct PixelLine {
    int32_t X1 = 0;
    int32_t Y1 = 0;
    int32_t X2 = 0;
    int32_t Y2 = 0;
    bool operator==(const PixelLine&) const = default;
};

struct FocusLines {
    PixelLine Left;
    PixelLine Top;
    PixelLine Right;
    PixelLine Bottom;
    bool operator==(const FocusLines&) const = default;
};

// A whole font: it is saved and restored as one piece.
struct ButtonFont {
    std::string Name = "MS Sans Serif";
    double SizePoints = 8.25;
    int16_t Weight = 400;
    bool Italic = false;
    bool Underline = false;
    bool Strikethrough = false;
    bool operator==(const ButtonFont&) const = default;
};

// The button's drawing surface and the attributes that live on it.
//
// To implement: keep a back image the size of the button's client area and draw into it; show it
// on screen only in Present() (and when the window system asks for a repaint). The focus lines
// are drawn over the back image whenever it is shown, not into it. Text is drawn in the surface
// font and text colour on a transparent background; in the text, "&" is not drawn but underlines
// the next character, and "&&" shows one "&". Drawing calls that fail are simply not done: the
// button does not look at their outcome.
class ButtonSurface {
public:
    virtual ~ButtonSurface() = default;

    // Client area in pixels; nullopt when it cannot be read.
    virtual std::optional<PixelSize> Size() = 0;
    // Twips in one screen pixel: 15 at 96 dots per inch.
    virtual double TwipsPerPixel() = 0;

    // Fill the back image with the background colour.
    virtual void Clear() = 0;
    // Fill the rectangle from top (X, Y) inclusive to bottom (X, Y) exclusive, top.colour along
    // the row top.Y shading evenly towards bottom.colour at row bottom.Y. False when nothing was
    // filled.
    virtual bool FillVerticalGradient(const GradientPoint& top, const GradientPoint& bottom) = 0;
    // Copy the source rectangle of a picture (picture pixels) into the destination rectangle of
    // the back image, stretching it when the sizes differ.
    virtual void DrawPicturePiece(ButtonPicture picture, const PixelRect& source,
                                  const PixelRect& destination) = 0;
    // Height in pixels of the text broken into lines between words to fit bounds' width, each
    // line centred; draws nothing. Nullopt when it cannot be measured.
    virtual std::optional<int32_t> MeasureWrappedText(std::string_view text,
                                                      const PixelRect& bounds) = 0;
    // Draw the text as measured, from bounds' top, clipped to the client area.
    virtual void DrawWrappedText(std::string_view text, const PixelRect& bounds) = 0;
    // Show the back image on screen.
    virtual void Present() = 0;
    virtual void HideFocusLines() = 0;
    virtual void ShowFocusLines(const FocusLines& lines) = 0;

    virtual ButtonFont Font() = 0;
    virtual void SetFont(const ButtonFont& font) = 0;
    // The colour text is drawn in. Reading gives what the surface actually uses.
    virtual Colour TextColour() = 0;
    virtual void SetTextColour(Colour colour) = 0;
    // Opaque: the back image is seen. Transparent: the button's painting is not seen at all
    // (the container shows through); the window keeps receiving input either way.
    virtual bool Opaque() = 0;
    virtual void SetOpaque(bool opaque) = 0;
    // The one character (UTF-8) whose Alt+key chord must reach Command::OnAccessKey; empty for
    // none. Replaces the previous one.
    virtual void SetAccessKey(std::string_view key) = 0;
};

// Where the host hears about the button: property changes (the saved settings are now out of
// date) and clicks.
//
// To implement: mark the button's saved settings dirty on PropertyChanged; run the owner's click
// handler in Click. Click is called from inside an input event; the handler may pump messages,
// show a message box or change the button's properties.
class ButtonEvents {
public:
    virtual ~ButtonEvents() = default;
    virtual void PropertyChanged(std::string_view name) = 0;
    virtual void Click() = 0;
};

// What the button reads from the window that contains it.
//
// To implement: return the container's font, the default of every button's saved font. Nullopt
// only when it cannot be had: a load then keeps the button's font when no font is stored, and a
// save then stores no font at all.
class ButtonContainer {
public:
    virtual ~ButtonContainer() = default;
    virtual std::optional<ButtonFont> AmbientFont() = 0;
};

// The button's hover timer.
//
// To implement: call Command::OnMouseTimerTick on the UI thread every intervalMilliseconds from
// now on, until the button is destroyed. A second Start only changes the interval of a running
// timer and starts a paused one again.
//
// Pause is optional: the button asks for it when no tick could change anything until one of its
// own events, and calls Start again before a tick could. A timer that cannot pause keeps ticking
// and answers false; one that paused answers true.
class ButtonTimer {
public:
    virtual ~ButtonTimer() = default;
    virtual void Start(int32_t intervalMilliseconds) = 0;
    virtual bool Pause() { return false; }
};

// The keyed store one button's settings are saved into and loaded from.
//
// To implement: keep values under their keys as given (texts and numbers as Value, fonts whole).
// Command::WriteProperties writes only values that differ from their defaults, so a save must
// start from an empty bag: a key left over from an earlier save would come back on the next load.
class ButtonPropertyBag {
public:
    virtual ~ButtonPropertyBag() = default;
    virtual bool Contains(std::string_view key) = 0;
    // Nullopt when the entry cannot be read or holds a font.
    virtual std::optional<Value> Read(std::string_view key) = 0;
    // Nullopt when the entry cannot be read or is not a font.
    virtual std::optional<ButtonFont> ReadFont(std::string_view key) = 0;
    virtual void Write(std::string_view key, const Value& value) = 0;
    virtual void WriteFont(std::string_view key, const ButtonFont& font) = 0;
};

} // namespace kt
