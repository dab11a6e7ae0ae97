#pragma once

#include "ui/button/Command.h"

#include <QImage>
#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class QShortcut;

namespace kt {

// Which of the model's mouse buttons a Qt button is; none for the others.
std::optional<MouseButton> ToMouseButton(Qt::MouseButton button);

// The skinned push button as a Qt widget: the window system's side of kt::Command. The widget
// feeds its mouse, focus, access-key and timer events to the model and is the model's surface,
// painting into a back image that paintEvent shows.
class CommandButton final : public QWidget,
                            public ButtonSurface,
                            public ButtonEvents,
                            public ButtonContainer,
                            public ButtonTimer {
public:
    explicit CommandButton(QWidget* parent = nullptr);
    ~CommandButton() override;

    // Once the widget has its size: the model's creation handler.
    void Create();
    Command& Model() { return model_; }
    void SetClickHandler(std::function<void()> handler) { onClick_ = std::move(handler); }
    // Whether a property changed since the settings were last saved.
    bool PropertiesDirty() const { return dirty_; }
    void MarkSaved() { dirty_ = false; }

    // The back image as last painted (without the focus lines).
    const QImage& BackImage() const { return back_; }
    std::optional<FocusLines> ShownFocusLines() const { return focusLines_; }
    QShortcut* AccessShortcut() const { return shortcut_.get(); }

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
    ButtonFont Font() override;
    void SetFont(const ButtonFont& font) override;
    Colour TextColour() override;
    void SetTextColour(Colour colour) override;
    bool Opaque() override;
    void SetOpaque(bool opaque) override;
    void SetAccessKey(std::string_view key) override;

    // ButtonEvents
    void PropertyChanged(std::string_view name) override;
    void Click() override;

    // ButtonContainer
    std::optional<ButtonFont> AmbientFont() override;

    // ButtonTimer
    void Start(int32_t intervalMilliseconds) override;
    bool Pause() override;
    bool HoverTimerRunning() const { return mouseTimer_.isActive(); }

    // The Qt font a button font stands for: its face when installed, else a sans-serif one.
    static QFont ToQFont(const ButtonFont& font);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void OnTimer();

    Command model_;
    std::array<QImage, 6> pictures_;
    QImage back_;
    QTimer mouseTimer_;
    ButtonFont font_;
    Colour textColour_ = 0;
    bool opaque_ = true;
    std::optional<FocusLines> focusLines_;
    std::string accessKey_;
    std::unique_ptr<QShortcut> shortcut_;
    std::function<void()> onClick_;
    bool dirty_ = false;
    bool created_ = false;
};

} // namespace kt
