#include "ui/win32/CommandWindow.h"

#include "core/win32/WideText.h"
#include "ui/win32/Resources.h"

#include <windowsx.h>

#include <cmath>

namespace kt::win32 {

namespace {

int ScreenDpi() {
    WindowDc screen(nullptr);
    const int dpi = screen.get() != nullptr ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 0;
    return dpi > 0 ? dpi : 96;
}

RECT ToRect(const PixelRect& r) {
    return RECT{r.Left, r.Top, r.Right, r.Bottom};
}

// The focus lines: one pixel wide, solid, in the frame's dark blue.
constexpr COLORREF FocusLineColour = RGB(0x00, 0x3C, 0x74);

void DrawLine(HDC dc, const PixelLine& line) {
    // Both ends are part of the line; LineTo leaves out its last point.
    const int dx = line.X2 > line.X1 ? 1 : (line.X2 < line.X1 ? -1 : 0);
    const int dy = line.Y2 > line.Y1 ? 1 : (line.Y2 < line.Y1 ? -1 : 0);
    MoveToEx(dc, line.X1, line.Y1, nullptr);
    LineTo(dc, line.X2 + (dx == 0 && dy == 0 ? 1 : dx), line.Y2 + dy);
}

} // namespace

bool ButtonPictures::Load(HINSTANCE instance) {
    constexpr std::array<std::pair<ButtonPicture, int>, 6> ids = {{
        {ButtonPicture::Disable, KT_IDB_DISABLE},
        {ButtonPicture::Normal, KT_IDB_NORMAL},
        {ButtonPicture::HighLight, KT_IDB_HIGHLIGHT},
        {ButtonPicture::Selected, KT_IDB_SELECTED},
        {ButtonPicture::HighLightSelect, KT_IDB_HIGHLIGHTSELECT},
        {ButtonPicture::Pressed, KT_IDB_PRESSED},
    }};
    bool all = true;
    for (const auto& [picture, id] : ids) {
        bitmaps_[static_cast<size_t>(picture)].reset(static_cast<HBITMAP>(
            LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
        all = all && bitmaps_[static_cast<size_t>(picture)] != nullptr;
    }
    return all;
}

HBITMAP ButtonPictures::Get(ButtonPicture picture) const {
    const size_t index = static_cast<size_t>(picture);
    return index < bitmaps_.size() ? bitmaps_[index].get() : nullptr;
}

UniqueFont CreateButtonFont(const ButtonFont& font) {
    const std::wstring face = ToWide(font.Name).value_or(L"MS Sans Serif");
    // Points in hundredths, so that 8.25 stays exact.
    const int hundredths = static_cast<int>(std::lround(font.SizePoints * 100));
    const int height = -MulDiv(hundredths, ScreenDpi(), 7200);
    return UniqueFont(CreateFontW(height, 0, 0, 0, font.Weight, font.Italic ? TRUE : FALSE,
                                  font.Underline ? TRUE : FALSE, font.Strikethrough ? TRUE : FALSE,
                                  DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                  DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face.c_str()));
}

bool CommandWindow::Register(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    if (GetClassInfoExW(instance, ClassName, &wc)) {
        return true;
    }
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &CommandWindow::WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = ClassName;
    return RegisterClassExW(&wc) != 0;
}

CommandWindow::CommandWindow(Key, const ButtonPictures& pictures, ButtonFont ambientFont,
                             std::function<void()> onClick)
    : pictures_(pictures), ambientFont_(std::move(ambientFont)), onClick_(std::move(onClick)),
      font_(ambientFont_), command_(*this, *this, *this, *this) {
    fontHandle_ = CreateButtonFont(font_);
}

std::unique_ptr<CommandWindow> CommandWindow::Create(HWND parent, HINSTANCE instance, int controlId,
                                                     const RECT& place,
                                                     const ButtonPictures& pictures,
                                                     ButtonFont ambientFont,
                                                     std::function<void()> onClick) {
    if (!Register(instance)) {
        return nullptr;
    }
    auto button = std::make_unique<CommandWindow>(Key{}, pictures, std::move(ambientFont),
                                                  std::move(onClick));
    // Enabled stays a property of the model: the window itself always takes input.
    HWND window = CreateWindowExW(
        0, ClassName, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_CLIPSIBLINGS, place.left,
        place.top, place.right - place.left, place.bottom - place.top, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)), instance, button.get());
    if (window == nullptr) {
        return nullptr;
    }
    return button;
}

CommandWindow::~CommandWindow() {
    // Destroyed while every member is still alive to answer its last messages; WM_NCDESTROY
    // lets go of the handle.
    if (window_) {
        DestroyWindow(window_.get());
    }
}

LRESULT CALLBACK CommandWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    CommandWindow* self = nullptr;
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        self = static_cast<CommandWindow*>(create->lpCreateParams);
        self->window_.reset(window);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<CommandWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (self == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        (void)self->window_.release();
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->HandleMessage(window, message, wParam, lParam);
}

LRESULT CommandWindow::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        WindowDc screen(window);
        backDc_.reset(CreateCompatibleDC(screen.get()));
        pictureDc_.reset(CreateCompatibleDC(screen.get()));
        ResizeBackImage();
        command_.OnCreate();
        return 0;
    }
    case WM_SIZE:
        ResizeBackImage();
        command_.OnResize();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PaintScope paint(window);
        PaintTo(paint.get());
        return 0;
    }
    case WM_PRINTCLIENT:
        PaintTo(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_MOUSEMOVE:
        command_.OnMouseMove();
        return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
        // The release must come back here wherever the cursor is by then.
        SetCapture(window);
        if (GetFocus() != window) {
            SetFocus(window);
        }
        command_.OnMouseDown(MouseButton::Left);
        return 0;
    case WM_RBUTTONDOWN:
        SetCapture(window);
        command_.OnMouseDown(MouseButton::Right);
        return 0;
    case WM_MBUTTONDOWN:
        SetCapture(window);
        command_.OnMouseDown(MouseButton::Middle);
        return 0;
    case WM_LBUTTONUP:
        ReleaseWith(MouseButton::Left);
        return 0;
    case WM_RBUTTONUP:
        ReleaseWith(MouseButton::Right);
        return 0;
    case WM_MBUTTONUP:
        ReleaseWith(MouseButton::Middle);
        return 0;
    case WM_SETFOCUS:
        command_.OnGotFocus();
        return 0;
    case WM_KILLFOCUS:
        command_.OnLostFocus();
        return 0;
    case WM_TIMER:
        if (wParam == MouseTimerId) {
            OnTimer();
            return 0;
        }
        break;
    case WM_DESTROY:
        KillTimer(window, MouseTimerId);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void CommandWindow::ReleaseWith(MouseButton button) {
    if (GetCapture() == window_.get()) {
        ReleaseCapture();
    }
    command_.OnMouseUp(button);
}

void CommandWindow::OnTimer() {
    POINT cursor;
    bool over = false;
    if (GetCursorPos(&cursor)) {
        over = WindowFromPoint(cursor) == window_.get();
    }
    command_.OnMouseTimerTick(over);
}

void CommandWindow::Click() {
    if (onClick_) {
        onClick_();
    }
}

void CommandWindow::Start(int32_t intervalMilliseconds) {
    if (window_) {
        SetTimer(window_.get(), MouseTimerId, static_cast<UINT>(intervalMilliseconds), nullptr);
    }
}

void CommandWindow::ResizeBackImage() {
    RECT client{};
    if (!window_ || backDc_ == nullptr || !GetClientRect(window_.get(), &client)) {
        return;
    }
    const SIZE size{client.right, client.bottom};
    if (backImage_ && size.cx == backSize_.cx && size.cy == backSize_.cy) {
        return;
    }
    WindowDc screen(window_.get());
    UniqueBitmap image(
        CreateCompatibleBitmap(screen.get(), size.cx > 0 ? size.cx : 1, size.cy > 0 ? size.cy : 1));
    if (!image) {
        return;
    }
    SelectObject(backDc_.get(), image.get());
    backImage_ = std::move(image); // the old one is out of the DC and may go
    backSize_ = size;
}

std::optional<PixelSize> CommandWindow::Size() {
    if (!backImage_) {
        return std::nullopt;
    }
    return PixelSize{backSize_.cx, backSize_.cy};
}

double CommandWindow::TwipsPerPixel() {
    return 1440.0 / ScreenDpi();
}

void CommandWindow::Clear() {
    ++paintCount_;
    if (!backImage_) {
        return;
    }
    RECT all{0, 0, backSize_.cx, backSize_.cy};
    FillRect(backDc_.get(), &all, GetSysColorBrush(COLOR_BTNFACE));
}

bool CommandWindow::FillVerticalGradient(const GradientPoint& top, const GradientPoint& bottom) {
    if (!backImage_) {
        return false;
    }
    TRIVERTEX vertices[2] = {
        {top.X, top.Y, top.Red, top.Green, top.Blue, 0},
        {bottom.X, bottom.Y, bottom.Red, bottom.Green, bottom.Blue, 0},
    };
    GRADIENT_RECT rect{0, 1};
    return GradientFill(backDc_.get(), vertices, 2, &rect, 1, GRADIENT_FILL_RECT_V) != FALSE;
}

void CommandWindow::DrawPicturePiece(ButtonPicture picture, const PixelRect& source,
                                     const PixelRect& destination) {
    HBITMAP bitmap = pictures_.Get(picture);
    if (!backImage_ || bitmap == nullptr || pictureDc_ == nullptr) {
        return;
    }
    SelectScope selected(pictureDc_.get(), bitmap);
    SetStretchBltMode(backDc_.get(), COLORONCOLOR);
    StretchBlt(backDc_.get(), destination.Left, destination.Top, destination.Width(),
               destination.Height(), pictureDc_.get(), source.Left, source.Top, source.Width(),
               source.Height(), SRCCOPY);
}

std::optional<int32_t> CommandWindow::MeasureWrappedText(std::string_view text,
                                                         const PixelRect& bounds) {
    const auto wide = ToWide(text);
    if (!backImage_ || !wide) {
        return std::nullopt;
    }
    SelectScope font(backDc_.get(), fontHandle_.get());
    RECT rect = ToRect(bounds);
    const int height = DrawTextW(backDc_.get(), wide->c_str(), static_cast<int>(wide->size()),
                                 &rect, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
    if (height == 0) {
        return std::nullopt;
    }
    return height;
}

void CommandWindow::DrawWrappedText(std::string_view text, const PixelRect& bounds) {
    const auto wide = ToWide(text);
    if (!backImage_ || !wide) {
        return;
    }
    SelectScope font(backDc_.get(), fontHandle_.get());
    SetBkMode(backDc_.get(), TRANSPARENT);
    SetTextColor(backDc_.get(), textColour_);
    RECT rect = ToRect(bounds);
    DrawTextW(backDc_.get(), wide->c_str(), static_cast<int>(wide->size()), &rect,
              DT_WORDBREAK | DT_CENTER);
}

void CommandWindow::PaintTo(HDC dc) {
    PaintImage(dc);
    PaintFocusLines(dc);
}

void CommandWindow::PaintImage(HDC dc) {
    if (!opaque_) {
        // Transparent: the container's own background shows where the button is.
        HWND parent = GetParent(window_.get());
        POINT origin{0, 0};
        MapWindowPoints(window_.get(), parent, &origin, 1);
        POINT previous;
        SetViewportOrgEx(dc, -origin.x, -origin.y, &previous);
        SendMessageW(parent, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
        SetViewportOrgEx(dc, previous.x, previous.y, nullptr);
        return;
    }
    if (backImage_) {
        BitBlt(dc, 0, 0, backSize_.cx, backSize_.cy, backDc_.get(), 0, 0, SRCCOPY);
    }
}

void CommandWindow::PaintFocusLines(HDC dc) {
    if (!opaque_ || !focusLines_) {
        return;
    }
    UniquePen pen(CreatePen(PS_SOLID, 1, FocusLineColour));
    SelectScope selected(dc, pen.get());
    DrawLine(dc, focusLines_->Left);
    DrawLine(dc, focusLines_->Top);
    DrawLine(dc, focusLines_->Right);
    DrawLine(dc, focusLines_->Bottom);
}

void CommandWindow::Present() {
    if (!window_) {
        return;
    }
    // The lines of the last paint went with this image; the model says next whether they return.
    WindowDc dc(window_.get());
    if (dc.get() != nullptr) {
        PaintImage(dc.get());
    }
}

void CommandWindow::HideFocusLines() {
    focusLines_.reset();
}

void CommandWindow::ShowFocusLines(const FocusLines& lines) {
    focusLines_ = lines;
    if (!window_) {
        return;
    }
    WindowDc dc(window_.get());
    if (dc.get() != nullptr) {
        PaintFocusLines(dc.get());
    }
}

void CommandWindow::SetFont(const ButtonFont& font) {
    if (UniqueFont handle = CreateButtonFont(font)) {
        font_ = font;
        fontHandle_ = std::move(handle);
    }
}

void CommandWindow::SetOpaque(bool opaque) {
    opaque_ = opaque;
    if (window_) {
        InvalidateRect(window_.get(), nullptr, FALSE);
    }
}

void CommandWindow::SetAccessKey(std::string_view key) {
    accessKey_ = 0;
    if (key.empty()) {
        return;
    }
    if (const auto wide = ToWide(key); wide && wide->size() == 1) {
        accessKey_ = (*wide)[0];
    }
}

COLORREF CommandWindow::BackImagePixel(int x, int y) const {
    if (!backImage_) {
        return CLR_INVALID;
    }
    return GetPixel(backDc_.get(), x, y);
}

} // namespace kt::win32
