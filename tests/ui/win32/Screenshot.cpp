#include "Win32TestSupport.h"

#include "ui/win32/Handles.h"

#include <cstdio>
#include <memory>

namespace kt::test {

bool SaveClientScreenshot(HWND window, const std::wstring& path) {
    RECT client{};
    if (!GetClientRect(window, &client)) {
        return false;
    }
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    const int width = client.right;
    const int height = client.bottom;

    win32::WindowDc screen(nullptr);
    win32::MemoryDc memory(CreateCompatibleDC(screen.get()));
    win32::UniqueBitmap image(CreateCompatibleBitmap(screen.get(), width, height));
    if (!memory || !image) {
        return false;
    }
    {
        win32::SelectScope selected(memory.get(), image.get());
        BitBlt(memory.get(), 0, 0, width, height, screen.get(), origin.x, origin.y, SRCCOPY);
    }

    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height; // bottom-up, as BMP files store rows
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    const int stride = (width * 3 + 3) & ~3;
    std::vector<unsigned char> pixels(static_cast<size_t>(stride) * height);
    if (GetDIBits(memory.get(), image.get(), 0, static_cast<UINT>(height), pixels.data(),
                  reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS) != height) {
        return false;
    }
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());

    struct FileCloser {
        void operator()(FILE* f) const { fclose(f); }
    };
    std::unique_ptr<FILE, FileCloser> out(_wfopen(path.c_str(), L"wb"));
    if (!out) {
        return false;
    }
    return fwrite(&file, sizeof file, 1, out.get()) == 1 &&
           fwrite(&header, sizeof header, 1, out.get()) == 1 &&
           fwrite(pixels.data(), 1, pixels.size(), out.get()) == pixels.size();
}

} // namespace kt::test
