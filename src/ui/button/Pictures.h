#pragma once

// The six pictures a button's frame is cut from, drawn here once for both front ends so that
// neither needs image files. Only the 4-pixel band along each edge is ever shown.

#include "ui/button/CommandHost.h"

#include <array>
#include <cstdint>

namespace kt {

struct PictureBitmap {
    static constexpr int32_t Width = 64;
    static constexpr int32_t Height = 25;
    // Row by row from the top, each pixel 0x00BBGGRR.
    std::array<Colour, Width * Height> Pixels{};

    Colour At(int32_t x, int32_t y) const { return Pixels[static_cast<size_t>(y * Width + x)]; }
};

PictureBitmap DrawPicture(ButtonPicture picture);

} // namespace kt
