#include "ui/qt/CommandButton.h"

#include "core/qt/QtText.h"
#include <QApplication>
#include <QCursor>
#include <QFocusEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QShortcut>

namespace kt {

namespace {

constexpr int TextFlags = Qt::TextWordWrap | Qt::AlignHCenter | Qt::AlignTop | Qt::TextShowMnemonic;

QColor FromColour(Colour colour) {
    return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                  static_cast<int>((colour >> 16) & 0xFF));
}

QColor FromPoint(const GradientPoint& p) {
    return QColor(p.Red >> 8, p.Green >> 8, p.Blue >> 8);
}

QRect ToQRect(const PixelRect& r) {
    return QRect(r.Left, r.Top, r.Width(), r.Height());
}

} // namespace

std::optional<MouseButton> ToMouseButton(Qt::MouseButton button) {
    switch (button) {
    case Qt::LeftButton:
        return MouseButton::Left;
    case Qt::RightButton:
        return MouseButton::Right;
    case Qt::MiddleButton:
        return MouseButton::Middle;
    default:
        return std::nullopt;
    }
}

CommandButton::CommandButton(QWidget* parent)
    : QWidget(parent), model_(*this, *this, *this, *this) {
    // In the order of ButtonPicture.
    static constexpr const char* Names[] = {"Disable",  "Normal",          "HighLight",
                                            "Selected", "HighLightSelect", "Pressed"};
    for (size_t i = 0; i < pictures_.size(); ++i) {
        pictures_[i] = QImage(QStringLiteral(":/pictures/%1.bmp").arg(QLatin1String(Names[i])));
    }
    // Tab reaches the button; of the mouse buttons only the left one gives it the focus (in
    // mousePressEvent), as on Windows.
    setFocusPolicy(Qt::TabFocus);
    // Moves over the button arrive without a pressed mouse button too.
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    QObject::connect(&mouseTimer_, &QTimer::timeout, this, [this] { OnTimer(); });
}

CommandButton::~CommandButton() = default;

void CommandButton::Create() {
    if (!created_) {
        created_ = true;
        model_.OnCreate();
    }
}

QFont CommandButton::ToQFont(const ButtonFont& font) {
    QFont f(QString::fromStdString(font.Name));
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(font.SizePoints > 0 ? font.SizePoints : 8.25);
    f.setWeight(static_cast<QFont::Weight>(qBound(100, static_cast<int>(font.Weight), 900)));
    f.setItalic(font.Italic);
    f.setUnderline(font.Underline);
    f.setStrikeOut(font.Strikethrough);
    // The captions are drawn like the small bitmap fonts they were made for: pixels of the text
    // colour only.
    f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

std::optional<PixelSize> CommandButton::Size() {
    if (width() <= 0 || height() <= 0) {
        return std::nullopt;
    }
    return PixelSize{width(), height()};
}

double CommandButton::TwipsPerPixel() {
    const int dpi = logicalDpiX();
    return dpi > 0 ? 1440.0 / dpi : 15.0;
}

void CommandButton::Clear() {
    if (back_.size() != size()) {
        back_ = QImage(size(), QImage::Format_RGB32);
    }
    back_.fill(palette().color(QPalette::Button));
}

bool CommandButton::FillVerticalGradient(const GradientPoint& top, const GradientPoint& bottom) {
    const QRect area(QPoint(top.X, top.Y), QPoint(bottom.X - 1, bottom.Y - 1));
    if (back_.isNull() || !area.isValid()) {
        return false;
    }
    // Pixel centres: the first row takes the top colour exactly, as the row bottom.Y would take
    // the bottom one.
    QLinearGradient gradient(0, top.Y + 0.5, 0, bottom.Y + 0.5);
    gradient.setColorAt(0, FromPoint(top));
    gradient.setColorAt(1, FromPoint(bottom));
    QPainter painter(&back_);
    painter.fillRect(area, gradient);
    return true;
}

void CommandButton::DrawPicturePiece(ButtonPicture picture, const PixelRect& source,
                                     const PixelRect& destination) {
    if (back_.isNull()) {
        return;
    }
    QPainter painter(&back_);
    painter.drawImage(ToQRect(destination), pictures_[static_cast<size_t>(picture)],
                      ToQRect(source));
}

std::optional<int32_t> CommandButton::MeasureWrappedText(std::string_view text,
                                                         const PixelRect& bounds) {
    const QFontMetrics metrics(ToQFont(font_), this);
    const QRect measured = metrics.boundingRect(
        QRect(bounds.Left, bounds.Top, bounds.Width(), qMax(bounds.Height(), 1)), TextFlags,
        FromUtf8(text));
    return measured.height();
}

void CommandButton::DrawWrappedText(std::string_view text, const PixelRect& bounds) {
    if (back_.isNull()) {
        return;
    }
    QPainter painter(&back_);
    painter.setClipRect(back_.rect());
    painter.setFont(ToQFont(font_));
    painter.setPen(FromColour(textColour_));
    painter.drawText(ToQRect(bounds), TextFlags, FromUtf8(text));
}

void CommandButton::Present() {
    update();
}

void CommandButton::HideFocusLines() {
    if (focusLines_) {
        focusLines_.reset();
        update();
    }
}

void CommandButton::ShowFocusLines(const FocusLines& lines) {
    focusLines_ = lines;
    update();
}

ButtonFont CommandButton::Font() {
    return font_;
}

void CommandButton::SetFont(const ButtonFont& font) {
    font_ = font;
    QWidget::setFont(ToQFont(font));
}

Colour CommandButton::TextColour() {
    return textColour_;
}

void CommandButton::SetTextColour(Colour colour) {
    textColour_ = colour & 0xFFFFFF;
}

bool CommandButton::Opaque() {
    return opaque_;
}

void CommandButton::SetOpaque(bool opaque) {
    opaque_ = opaque;
    update();
}

void CommandButton::SetAccessKey(std::string_view key) {
    if (key == accessKey_) {
        return;
    }
    accessKey_ = std::string(key);
    shortcut_.reset();
    if (accessKey_.empty()) {
        return;
    }
    const QKeySequence sequence(QStringLiteral("Alt+") + FromUtf8(accessKey_));
    shortcut_ = std::make_unique<QShortcut>(sequence, this);
    shortcut_->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut_.get(), &QShortcut::activated, this,
                     [this] { model_.OnAccessKey(); });
}

void CommandButton::PropertyChanged(std::string_view) {
    dirty_ = true;
}

void CommandButton::Click() {
    if (onClick_) {
        onClick_();
    }
}

std::optional<ButtonFont> CommandButton::AmbientFont() {
    // The container's font is the one every button of the window was designed with.
    return ButtonFont{};
}

void CommandButton::Start(int32_t intervalMilliseconds) {
    mouseTimer_.setInterval(intervalMilliseconds);
    if (!mouseTimer_.isActive()) {
        mouseTimer_.start();
    }
}

bool CommandButton::Pause() {
    // Ten buttons ticking ten times a second would wake an idle window a hundred times.
    mouseTimer_.stop();
    return true;
}

void CommandButton::OnTimer() {
    model_.OnMouseTimerTick(QApplication::widgetAt(QCursor::pos()) == this);
}

void CommandButton::paintEvent(QPaintEvent*) {
    if (!opaque_) {
        return;
    }
    QPainter painter(this);
    if (!back_.isNull()) {
        painter.drawImage(0, 0, back_);
    }
    if (focusLines_) {
        painter.setPen(QPen(Qt::black, 1));
        for (const PixelLine& line :
             {focusLines_->Left, focusLines_->Top, focusLines_->Right, focusLines_->Bottom}) {
            painter.drawLine(line.X1, line.Y1, line.X2, line.Y2);
        }
    }
}

void CommandButton::resizeEvent(QResizeEvent*) {
    if (created_) {
        model_.OnResize();
    }
}

void CommandButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        setFocus(Qt::MouseFocusReason);
    }
    if (auto button = ToMouseButton(event->button())) {
        model_.OnMouseDown(*button);
    }
}

void CommandButton::mouseMoveEvent(QMouseEvent*) {
    model_.OnMouseMove();
}

void CommandButton::mouseReleaseEvent(QMouseEvent* event) {
    if (auto button = ToMouseButton(event->button())) {
        model_.OnMouseUp(*button);
    }
}

void CommandButton::focusInEvent(QFocusEvent*) {
    model_.OnGotFocus();
}

void CommandButton::focusOutEvent(QFocusEvent*) {
    model_.OnLostFocus();
}

} // namespace kt
