// Writes the program's pictures as the files both front ends embed: the six button pictures
// (drawn by the button's own artwork code), the window background and the icon.
// Usage: make_pictures OUTPUT_FOLDER

#include "ui/button/Pictures.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using kt::Colour;

struct Image {
    int32_t Width;
    int32_t Height;
    std::vector<Colour> Pixels; // top row first, 0x00BBGGRR

    Image(int32_t w, int32_t h) : Width(w), Height(h), Pixels(static_cast<size_t>(w * h), 0) {}
    Colour& At(int32_t x, int32_t y) { return Pixels[static_cast<size_t>(y * Width + x)]; }
};

Colour Rgb(int r, int g, int b) {
    return static_cast<Colour>((b & 0xFF) << 16 | (g & 0xFF) << 8 | (r & 0xFF));
}

Colour Mix(Colour a, Colour b, double t) {
    auto channel = [&](int shift) {
        const double ca = (a >> shift) & 0xFF;
        const double cb = (b >> shift) & 0xFF;
        return static_cast<int>(std::lround(ca + (cb - ca) * t));
    };
    return Rgb(channel(0), channel(8), channel(16));
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// A 24-bit DIB: header, then rows bottom-up, each padded to 4 bytes.
std::vector<uint8_t> DibBits(const Image& image) {
    std::vector<uint8_t> bits;
    const int32_t stride = (image.Width * 3 + 3) & ~3;
    for (int32_t y = image.Height - 1; y >= 0; --y) {
        const size_t rowStart = bits.size();
        for (int32_t x = 0; x < image.Width; ++x) {
            const Colour c = image.Pixels[static_cast<size_t>(y * image.Width + x)];
            bits.push_back(static_cast<uint8_t>(c >> 16)); // blue
            bits.push_back(static_cast<uint8_t>(c >> 8));  // green
            bits.push_back(static_cast<uint8_t>(c));       // red
        }
        bits.resize(rowStart + static_cast<size_t>(stride), 0);
    }
    return bits;
}

void PutInfoHeader(std::vector<uint8_t>& out, const Image& image, int32_t height, uint32_t size) {
    Put32(out, 40);
    Put32(out, static_cast<uint32_t>(image.Width));
    Put32(out, static_cast<uint32_t>(height));
    Put16(out, 1);
    Put16(out, 24);
    Put32(out, 0);
    Put32(out, size);
    Put32(out, 3780); // 96 dots per inch
    Put32(out, 3780);
    Put32(out, 0);
    Put32(out, 0);
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(file);
}

bool WriteBmp(const std::string& path, const Image& image) {
    const std::vector<uint8_t> bits = DibBits(image);
    std::vector<uint8_t> out = {'B', 'M'};
    Put32(out, static_cast<uint32_t>(14 + 40 + bits.size()));
    Put32(out, 0);
    Put32(out, 14 + 40);
    PutInfoHeader(out, image, image.Height, static_cast<uint32_t>(bits.size()));
    out.insert(out.end(), bits.begin(), bits.end());
    return WriteFile(path, out);
}

bool WriteIco(const std::string& path, const Image& image, const std::vector<bool>& opaque) {
    const std::vector<uint8_t> bits = DibBits(image);
    std::vector<uint8_t> mask;
    const int32_t maskStride = ((image.Width + 31) / 32) * 4;
    for (int32_t y = image.Height - 1; y >= 0; --y) {
        std::vector<uint8_t> row(static_cast<size_t>(maskStride), 0);
        for (int32_t x = 0; x < image.Width; ++x) {
            if (!opaque[static_cast<size_t>(y * image.Width + x)]) {
                row[static_cast<size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
            }
        }
        mask.insert(mask.end(), row.begin(), row.end());
    }
    const auto imageSize = static_cast<uint32_t>(40 + bits.size() + mask.size());
    std::vector<uint8_t> out;
    Put16(out, 0);
    Put16(out, 1); // icon
    Put16(out, 1); // one image
    out.push_back(static_cast<uint8_t>(image.Width));
    out.push_back(static_cast<uint8_t>(image.Height));
    out.push_back(0);
    out.push_back(0);
    Put16(out, 1);
    Put16(out, 24);
    Put32(out, imageSize);
    Put32(out, 6 + 16);
    PutInfoHeader(out, image, image.Height * 2, static_cast<uint32_t>(bits.size() + mask.size()));
    out.insert(out.end(), bits.begin(), bits.end());
    out.insert(out.end(), mask.begin(), mask.end());
    return WriteFile(path, out);
}

// Cool blue shading with soft diagonal light bands; only the top-left 423 x 324 is ever seen.
Image DrawBackground() {
    Image image(789, 461);
    const Colour top = Rgb(0xE4, 0xEE, 0xF8);
    const Colour bottom = Rgb(0x7F, 0xA6, 0xD0);
    for (int32_t y = 0; y < image.Height; ++y) {
        for (int32_t x = 0; x < image.Width; ++x) {
            Colour c = Mix(top, bottom, std::min(1.0, (y + x * 0.25) / 520.0));
            const double band = std::sin((x + y * 1.6) / 38.0);
            if (band > 0.92) {
                c = Mix(c, Rgb(0xFF, 0xFF, 0xFF), (band - 0.92) * 2.5);
            }
            image.At(x, y) = c;
        }
    }
    return image;
}

// A blue shield crossed by a white cut, on a transparent ground.
Image DrawIcon(std::vector<bool>& opaque) {
    Image image(32, 32);
    opaque.assign(32 * 32, false);
    const Colour rim = Rgb(0x00, 0x3C, 0x74);
    const Colour light = Rgb(0x9C, 0xC8, 0xFF);
    const Colour deep = Rgb(0x1E, 0x5A, 0xC8);
    auto halfWidth = [](int32_t y) {
        if (y < 2 || y > 30) {
            return -1.0;
        }
        return y < 16 ? 13.0 : 13.0 * std::sqrt(std::max(0.0, 1.0 - (y - 16) / 14.5));
    };
    for (int32_t y = 0; y < 32; ++y) {
        const double w = halfWidth(y);
        for (int32_t x = 0; x < 32; ++x) {
            const double dx = std::fabs(x + 0.5 - 16.0);
            if (w < 0 || dx > w) {
                continue;
            }
            opaque[static_cast<size_t>(y * 32 + x)] = true;
            const bool edge = dx > w - 1.6 || y < 4 || halfWidth(y + 2) < dx;
            Colour c = edge ? rim : Mix(light, deep, (y - 2) / 28.0);
            // The cut: a white stroke from upper right to lower left, broken in the middle.
            const double d = std::fabs((x - 16.0) + (y - 16.0) * 0.9);
            if (!edge && d < 1.8 && std::fabs(y - 16.0) > 1.5) {
                c = Rgb(0xFF, 0xFF, 0xFF);
            }
            image.At(x, y) = c;
        }
    }
    return image;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_pictures OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    const struct {
        kt::ButtonPicture Picture;
        const char* Name;
    } pictures[] = {{kt::ButtonPicture::Disable, "Disable"},
                    {kt::ButtonPicture::Normal, "Normal"},
                    {kt::ButtonPicture::HighLight, "HighLight"},
                    {kt::ButtonPicture::Selected, "Selected"},
                    {kt::ButtonPicture::HighLightSelect, "HighLightSelect"},
                    {kt::ButtonPicture::Pressed, "Pressed"}};
    bool ok = true;
    for (const auto& p : pictures) {
        const kt::PictureBitmap bitmap = kt::DrawPicture(p.Picture);
        Image image(kt::PictureBitmap::Width, kt::PictureBitmap::Height);
        image.Pixels.assign(bitmap.Pixels.begin(), bitmap.Pixels.end());
        ok = WriteBmp(folder + p.Name + ".bmp", image) && ok;
    }
    ok = WriteBmp(folder + "Background.bmp", DrawBackground()) && ok;
    std::vector<bool> opaque;
    const Image icon = DrawIcon(opaque);
    ok = WriteIco(folder + "KorvanTessivo.ico", icon, opaque) && ok;
    return ok ? 0 : 1;
}
