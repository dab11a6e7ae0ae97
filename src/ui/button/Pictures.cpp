#include "ui/button/Pictures.h"

namespace kt {

namespace {

// Written as the web writes them (#RRGGBB) and turned into 0x00BBGGRR.
constexpr Colour Rgb(uint32_t rrggbb) {
    return ((rrggbb >> 16) & 0xFF) | (rrggbb & 0xFF00) | ((rrggbb & 0xFF) << 16);
}

constexpr Colour WindowFace = Rgb(0xECE9D8);
constexpr Colour FrameBlue = Rgb(0x003C74);
constexpr Colour FrameGrey = Rgb(0xC9C7BA);
constexpr Colour Face = Rgb(0xF3F3EE);
constexpr Colour FaceTopBand = Rgb(0xFFFFFF);
constexpr Colour FaceBottomBand = Rgb(0xD8D2BD);
constexpr Colour PressedFace = Rgb(0xE2E1D9);
constexpr Colour PressedTopBand = Rgb(0xCDCAC3);
constexpr Colour DisabledFace = Rgb(0xF5F4EA);
constexpr Colour WarmTop = Rgb(0xFFF0CF);
constexpr Colour WarmBottom = Rgb(0xE59700);
constexpr Colour BlueTop = Rgb(0xCEE7FF);
constexpr Colour BlueBottom = Rgb(0x6982EE);

constexpr int32_t W = PictureBitmap::Width;
constexpr int32_t H = PictureBitmap::Height;

Colour Blend(Colour from, Colour to, int32_t step, int32_t steps) {
    Colour out = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const int32_t a = static_cast<int32_t>((from >> shift) & 0xFF);
        const int32_t b = static_cast<int32_t>((to >> shift) & 0xFF);
        const int32_t c = a + (b - a) * step / steps;
        out |= static_cast<Colour>(c) << shift;
    }
    return out;
}

class Canvas {
public:
    explicit Canvas(Colour background) { bitmap_.Pixels.fill(background); }

    void Set(int32_t x, int32_t y, Colour c) {
        if (x >= 0 && x < W && y >= 0 && y < H) {
            bitmap_.Pixels[static_cast<size_t>(y * W + x)] = c;
        }
    }
    void Fill(int32_t left, int32_t top, int32_t right, int32_t bottom, Colour c) {
        for (int32_t y = top; y < bottom; ++y) {
            for (int32_t x = left; x < right; ++x) {
                Set(x, y, c);
            }
        }
    }
    // A one-pixel outline inset from the picture's edge, its four corner pixels left out.
    void RoundedFrame(int32_t inset, Colour c) {
        for (int32_t x = inset + 1; x < W - inset - 1; ++x) {
            Set(x, inset, c);
            Set(x, H - 1 - inset, c);
        }
        for (int32_t y = inset + 1; y < H - inset - 1; ++y) {
            Set(inset, y, c);
            Set(W - 1 - inset, y, c);
        }
    }
    // A ring two pixels wide whose colour runs from top to bottom.
    void Ring(int32_t inset, Colour top, Colour bottom) {
        const int32_t first = inset;
        const int32_t last = H - 1 - inset;
        for (int32_t y = first; y <= last; ++y) {
            const Colour c = Blend(top, bottom, y - first, last - first);
            const bool edgeRow = y < first + 2 || y > last - 2;
            for (int32_t x = inset; x < W - inset; ++x) {
                if (edgeRow || x < inset + 2 || x >= W - inset - 2) {
                    Set(x, y, c);
                }
            }
        }
    }
    const PictureBitmap& Bitmap() const { return bitmap_; }

private:
    PictureBitmap bitmap_;
};

} // namespace

PictureBitmap DrawPicture(ButtonPicture picture) {
    Canvas canvas(WindowFace);
    switch (picture) {
    case ButtonPicture::Normal:
    case ButtonPicture::HighLight:
        canvas.Fill(2, 2, W - 2, H - 2, Face);
        canvas.Fill(2, 2, W - 2, 3, FaceTopBand);
        canvas.Fill(2, H - 4, W - 2, H - 2, FaceBottomBand);
        if (picture == ButtonPicture::HighLight) {
            canvas.Ring(2, WarmTop, WarmBottom);
        }
        canvas.RoundedFrame(1, FrameBlue);
        break;
    case ButtonPicture::Pressed:
        canvas.Fill(2, 2, W - 2, H - 2, PressedFace);
        canvas.Fill(2, 2, W - 2, 4, PressedTopBand);
        canvas.RoundedFrame(1, FrameBlue);
        break;
    case ButtonPicture::Selected:
    case ButtonPicture::HighLightSelect:
        canvas.Fill(1, 1, W - 1, H - 1, Face);
        canvas.Fill(1, H - 4, W - 1, H - 1, FaceBottomBand);
        if (picture == ButtonPicture::Selected) {
            canvas.Ring(1, BlueTop, BlueBottom);
        } else {
            canvas.Ring(1, WarmTop, WarmBottom);
        }
        canvas.RoundedFrame(0, FrameBlue);
        break;
    case ButtonPicture::Disable:
        canvas.Fill(2, 2, W - 2, H - 2, DisabledFace);
        canvas.RoundedFrame(1, FrameGrey);
        break;
    }
    return canvas.Bitmap();
}

} // namespace kt
