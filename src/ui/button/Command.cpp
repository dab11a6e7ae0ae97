#include "ui/button/Command.h"

#include <cmath>
#include <optional>

namespace kt {

namespace {

// The two ends of the face gradient, written red-green-blue (not 0x00BBGGRR).
constexpr uint32_t FaceLightRgb = 0xFFFFFF;
constexpr uint32_t FaceShadeRgb = 0xC6C5D7;

// Frame geometry in twips at the pictures' own scale of 15 twips a pixel.
constexpr int32_t Corner = 60;
constexpr int32_t PictureTwipsPerPixel = 15;
constexpr int32_t PictureEdgeWidth = 840;  // 960 less two corners
constexpr int32_t PictureEdgeHeight = 255; // 375 less two corners
constexpr int32_t PictureRight = 900;      // 960 less one corner
constexpr int32_t PictureBottom = 315;     // 375 less one corner
constexpr int32_t FocusInset = 60;
constexpr int32_t FocusFarInset = 70;

// Room left on each side of the caption, in pixels.
constexpr int32_t CaptionMargin = 4;

GradientPoint AtColour(int32_t x, int32_t y, uint32_t rgb) {
    GradientPoint p;
    p.X = x;
    p.Y = y;
    p.Red = static_cast<uint16_t>(((rgb >> 16) & 0xFF) << 8);
    p.Green = static_cast<uint16_t>(((rgb >> 8) & 0xFF) << 8);
    p.Blue = static_cast<uint16_t>((rgb & 0xFF) << 8);
    return p;
}

int32_t ToPixels(double twips, double twipsPerPixel) {
    return static_cast<int32_t>(RoundHalfEven(twips / twipsPerPixel));
}

// A rectangle given in twips, converted edge by edge so that neighbouring pieces meet exactly.
PixelRect TwipsToPixels(int32_t x, int32_t y, int32_t width, int32_t height, double twipsPerPixel) {
    return PixelRect{ToPixels(x, twipsPerPixel), ToPixels(y, twipsPerPixel),
                     ToPixels(x + width, twipsPerPixel), ToPixels(y + height, twipsPerPixel)};
}

std::optional<int16_t> GeometryValue(double twips) {
    const double rounded = RoundHalfEven(twips);
    if (!std::isfinite(rounded) || rounded < INT16_MIN || rounded > INT16_MAX) {
        return std::nullopt;
    }
    return static_cast<int16_t>(rounded);
}

Value BooleanValue(bool b) {
    return Value(static_cast<int16_t>(b ? -1 : 0));
}

// Texts compare as texts; anything else by number, so that the default "1" equals 1.
bool SameAsDefault(const Value& value, const Value& fallback) {
    if (value.IsText() && fallback.IsText()) {
        return value.As<std::string>() == fallback.As<std::string>();
    }
    auto a = ToDouble(value);
    auto b = ToDouble(fallback);
    return a && b && *a == *b;
}

std::optional<Value> ReadOrDefault(ButtonPropertyBag& bag, std::string_view key,
                                   const Value& fallback) {
    if (!bag.Contains(key)) {
        return fallback;
    }
    return bag.Read(key);
}

void WriteUnlessDefault(ButtonPropertyBag& bag, std::string_view key, const Value& value,
                        const Value& fallback) {
    if (!SameAsDefault(value, fallback)) {
        bag.Write(key, value);
    }
}

size_t Utf8Length(unsigned char lead) {
    if (lead >= 0xF0) {
        return 4;
    }
    if (lead >= 0xE0) {
        return 3;
    }
    if (lead >= 0xC0) {
        return 2;
    }
    return 1;
}

} // namespace

std::string AccessKeyOf(std::string_view caption) {
    const size_t amp = caption.find('&');
    if (amp == std::string_view::npos || amp + 1 >= caption.size()) {
        return {};
    }
    const size_t length = Utf8Length(static_cast<unsigned char>(caption[amp + 1]));
    return std::string(caption.substr(amp + 1, length));
}

Command::Command(ButtonSurface& surface, ButtonEvents& events, ButtonContainer& container,
                 ButtonTimer& timer)
    : surface_(surface), events_(events), container_(container), timer_(timer) {}

void Command::OnCreate() {
    caption_ = "Command";
    SetEnabled(true);
}

void Command::Initialize() {
    state_ = ButtonState::Normal;
    timer_.Start(MouseTimerInterval);
    timerStarted_ = true;
    timerPaused_ = false;
}

void Command::SetCaption(std::string_view caption) {
    caption_ = std::string(caption);
    events_.PropertyChanged("Caption");
    Redraw();
}

bool Command::Enabled() {
    // A fresh instance that was never configured takes its first look as enabled.
    if (firstRun_ == 0) {
        firstRun_ = 1;
        enabled_ = true;
    }
    return enabled_;
}

void Command::SetEnabled(bool enabled) {
    enabled_ = enabled;
    events_.PropertyChanged("Enabled");
    Redraw();
}

ButtonFont Command::Font() {
    return surface_.Font();
}

void Command::SetFont(const ButtonFont& font) {
    surface_.SetFont(font);
    events_.PropertyChanged("Font");
    Redraw();
}

Colour Command::FontColour() {
    return surface_.TextColour();
}

void Command::SetFontColour(Colour colour) {
    surface_.SetTextColour(colour);
    fontColour_ = surface_.TextColour();
    events_.PropertyChanged("FontColour");
    Redraw();
}

uint8_t Command::Visible() {
    return surface_.Opaque() ? 255 : 0;
}

void Command::SetVisible(uint8_t visible) {
    if (visible != 0) {
        surface_.SetOpaque(true);
        Redraw();
    } else {
        surface_.SetOpaque(false);
    }
    events_.PropertyChanged("Visible");
}

void Command::ReadProperties(ButtonPropertyBag& bag) {
    // Each step that cannot be read or converted leaves its target as it was.
    if (auto v = ReadOrDefault(bag, "Enabled", BooleanValue(true))) {
        if (auto b = ToBoolean(*v)) {
            enabled_ = *b;
        }
    }
    if (auto v = ReadOrDefault(bag, "Caption", Value("Command1"))) {
        if (auto text = ToText(*v)) {
            caption_ = *text;
        }
    }
    if (bag.Contains("Font")) {
        if (auto font = bag.ReadFont("Font")) {
            surface_.SetFont(*font);
        }
    } else if (auto font = container_.AmbientFont()) {
        surface_.SetFont(*font);
    }
    if (auto v = ReadOrDefault(bag, "FirstRun", Value("1"))) {
        if (auto n = ToUInt8(*v)) {
            firstRun_ = *n;
        }
    }
    if (auto v = ReadOrDefault(bag, "FontColour", Value("0"))) {
        if (auto n = ToInt32(*v)) {
            surface_.SetTextColour(static_cast<Colour>(*n));
            fontColour_ = static_cast<Colour>(*n);
        }
    }
    if (auto v = ReadOrDefault(bag, "Visible", Value("1"))) {
        if (auto n = ToInt16(*v); n && (*n == 0 || *n == 1)) {
            surface_.SetOpaque(*n == 1);
        }
    }
    Redraw();
}

void Command::WriteProperties(ButtonPropertyBag& bag) {
    WriteUnlessDefault(bag, "Enabled", BooleanValue(enabled_), BooleanValue(true));
    // Not the reading default: a caption "Command" is left out and loads as "Command1".
    WriteUnlessDefault(bag, "Caption", Value(caption_), Value("Command"));
    WriteUnlessDefault(bag, "FirstRun", Value(firstRun_), Value("1"));
    if (auto ambient = container_.AmbientFont()) {
        const ButtonFont font = surface_.Font();
        if (!(font == *ambient)) {
            bag.WriteFont("Font", font);
        }
    }
    WriteUnlessDefault(bag, "FontColour", Value(static_cast<int32_t>(surface_.TextColour())),
                       Value("0"));
    WriteUnlessDefault(bag, "Visible", Value(static_cast<int16_t>(surface_.Opaque() ? 1 : 0)),
                       Value("1"));
}

void Command::OnResize() {
    Redraw();
}

void Command::OnMouseDown(MouseButton button) {
    if (!enabled_ || button != MouseButton::Left) {
        return;
    }
    mouseIsDown_ = true;
    PaintState(ButtonPicture::Pressed);
}

void Command::OnMouseMove() {
    if (!enabled_) {
        return;
    }
    if (state_ == ButtonState::Normal) {
        SetState(ButtonState::HighLight);
        PaintState(ButtonPicture::HighLight);
    }
    // A held press keeps a focused button from lighting up again.
    if (state_ == ButtonState::Selected && !mouseIsDown_) {
        SetState(ButtonState::HighLightSelect);
        PaintState(ButtonPicture::HighLightSelect);
    }
}

void Command::OnMouseUp(MouseButton button) {
    if (!enabled_) {
        return;
    }
    if (button == MouseButton::Left) {
        mouseIsDown_ = false;
        if (state_ == ButtonState::HighLight) {
            PaintState(ButtonPicture::Normal);
        } else if (state_ == ButtonState::HighLightSelect) {
            PaintState(ButtonPicture::HighLightSelect);
        }
    }
    // A focused button the cursor has left (the timer made it Selected) cancels the click.
    if (state_ != ButtonState::Selected) {
        events_.Click();
    }
}

void Command::OnGotFocus() {
    if (!enabled_) {
        return;
    }
    if (state_ != ButtonState::HighLight) {
        SetState(ButtonState::Selected);
        PaintState(ButtonPicture::Selected);
    } else {
        SetState(ButtonState::HighLightSelect);
        PaintState(ButtonPicture::Pressed);
    }
}

void Command::OnLostFocus() {
    if (!enabled_) {
        return;
    }
    if (state_ != ButtonState::Normal) {
        SetState(ButtonState::Normal);
        PaintState(ButtonPicture::Normal);
    }
}

void Command::OnAccessKey() {
    if (!enabled_) {
        return;
    }
    // Plays a click under the cursor; the keyboard focus itself does not move.
    SetState(ButtonState::HighLight);
    OnGotFocus();
    OnMouseUp(MouseButton::Left);
}

void Command::OnMouseTimerTick(bool cursorOverOwnWindow) {
    if (!timerStarted_) {
        return;
    }
    if (!cursorOverOwnWindow) {
        EndHover();
    }
    // At rest the ticks would only look at the cursor; SetState wakes the timer again.
    if (!timerPaused_ && !HoverCanEnd()) {
        timerPaused_ = timer_.Pause();
    }
}

void Command::EndHover() {
    if (state_ != ButtonState::Disable && !enabled_) {
        SetState(ButtonState::Disable);
        PaintState(ButtonPicture::Disable);
    }
    if (state_ == ButtonState::HighLight) {
        SetState(ButtonState::Normal);
        PaintState(ButtonPicture::Normal);
    }
    if (state_ == ButtonState::HighLightSelect) {
        SetState(ButtonState::Selected);
        PaintState(ButtonPicture::Selected);
    }
}

bool Command::HoverCanEnd() const {
    return state_ == ButtonState::HighLight || state_ == ButtonState::HighLightSelect ||
           (state_ != ButtonState::Disable && !enabled_);
}

void Command::SetState(ButtonState state) {
    state_ = state;
    if (timerPaused_ && HoverCanEnd()) {
        timerPaused_ = false;
        timer_.Start(MouseTimerInterval);
    }
}

void Command::Redraw() {
    if (enabled_) {
        if (state_ == ButtonState::Disable) {
            SetState(ButtonState::Normal);
        }
        PaintState(ButtonPicture::Normal);
    } else {
        SetState(ButtonState::Disable);
        PaintState(ButtonPicture::Disable);
    }
}

void Command::PaintState(ButtonPicture picture) {
    if (enabled_) {
        surface_.SetAccessKey(AccessKeyOf(caption_));
        surface_.SetTextColour(fontColour_);
    } else {
        SetState(ButtonState::Disable);
        surface_.SetTextColour(DisabledTextColour);
        surface_.SetAccessKey({});
    }

    // Disable and HighLightSelect keep the direction they came with.
    if (state_ == ButtonState::Normal || state_ == ButtonState::Selected) {
        gradientReversed_ = false;
    } else if (state_ == ButtonState::HighLight) {
        gradientReversed_ = true;
    }

    double twipsPerPixel = surface_.TwipsPerPixel();
    if (!std::isfinite(twipsPerPixel) || twipsPerPixel <= 0) {
        twipsPerPixel = PictureTwipsPerPixel;
    }
    // A size that cannot be read or held keeps the geometry of the previous paint.
    if (auto size = surface_.Size()) {
        if (auto w = GeometryValue(size->Width * twipsPerPixel - 2 * Corner)) {
            innerWidthTwips_ = *w;
        }
        if (auto h = GeometryValue(size->Height * twipsPerPixel - 2 * Corner)) {
            innerHeightTwips_ = *h;
        }
    }

    surface_.Clear();
    FillGradient();

    const int32_t iw = innerWidthTwips_;
    const int32_t ih = innerHeightTwips_;
    const int32_t right = iw + Corner;  // W - 60
    const int32_t bottom = ih + Corner; // H - 60
    struct Piece {
        int32_t dx, dy, dw, dh, sx, sy, sw, sh;
    };
    const Piece pieces[] = {
        {1, 1, Corner, Corner, 0, 0, Corner, Corner},
        {Corner, 1, iw, Corner, Corner, 1, PictureEdgeWidth, Corner},
        {right, 1, Corner, Corner, PictureRight, 1, Corner, Corner},
        {right, Corner, Corner, ih, PictureRight, Corner, Corner, PictureEdgeHeight},
        {right, bottom, Corner, Corner, PictureRight, PictureBottom, Corner, Corner},
        {Corner, bottom, iw, Corner, Corner, PictureBottom, PictureEdgeWidth, Corner},
        {1, bottom, Corner, Corner, 0, PictureBottom, Corner, Corner},
        {1, Corner, Corner, ih, 1, Corner, Corner, PictureEdgeHeight},
    };
    for (const Piece& p : pieces) {
        const PixelRect destination = TwipsToPixels(p.dx, p.dy, p.dw, p.dh, twipsPerPixel);
        // A button too small for its frame gets no mirrored or empty pieces.
        if (destination.Width() <= 0 || destination.Height() <= 0) {
            continue;
        }
        surface_.DrawPicturePiece(
            picture, TwipsToPixels(p.sx, p.sy, p.sw, p.sh, PictureTwipsPerPixel), destination);
    }

    DrawCaption();
    surface_.Present();

    surface_.HideFocusLines();
    if (state_ == ButtonState::Selected || state_ == ButtonState::HighLightSelect) {
        const int32_t w = iw + 2 * Corner;
        const int32_t h = ih + 2 * Corner;
        auto px = [twipsPerPixel](int32_t twips) { return ToPixels(twips, twipsPerPixel); };
        FocusLines lines;
        lines.Left = {px(FocusInset), px(FocusInset), px(FocusInset), px(h - FocusInset)};
        lines.Top = {px(FocusInset), px(FocusInset), px(w - FocusInset), px(FocusInset)};
        lines.Right = {px(w - FocusFarInset), px(FocusInset), px(w - FocusFarInset),
                       px(h - FocusInset)};
        lines.Bottom = {px(FocusInset), px(h - FocusFarInset), px(w - FocusInset),
                        px(h - FocusFarInset)};
        surface_.ShowFocusLines(lines);
    }
}

void Command::FillGradient() {
    auto size = surface_.Size();
    if (!size) {
        return;
    }
    const uint32_t topRgb = gradientReversed_ ? FaceShadeRgb : FaceLightRgb;
    const uint32_t bottomRgb = gradientReversed_ ? FaceLightRgb : FaceShadeRgb;
    // The far corner is exclusive: the last row and column are left to the frame pieces.
    surface_.FillVerticalGradient(AtColour(0, 0, topRgb),
                                  AtColour(size->Width - 1, size->Height - 1, bottomRgb));
}

void Command::DrawCaption() {
    if (caption_.empty()) {
        return;
    }
    auto size = surface_.Size();
    if (!size) {
        return;
    }
    PixelRect bounds{CaptionMargin, 0, size->Width - CaptionMargin, size->Height};
    auto textHeight = surface_.MeasureWrappedText(caption_, bounds);
    if (!textHeight) {
        return;
    }
    bounds.Top = static_cast<int32_t>(RoundHalfEven((size->Height - *textHeight) / 2.0));
    surface_.DrawWrappedText(caption_, bounds);
}

} // namespace kt
