#include "ui/qt/CommandButton.h"

#include <QApplication>
#include <QCursor>
#include <QLineEdit>
#include <QShortcut>
#include <QTest>

#include <memory>

using namespace kt;

namespace {

constexpr QRgb White = 0xFFFFFF;
constexpr QRgb Shade = 0xC6C5D7;

// A button of the main window's size on a window of its own.
struct ButtonRig {
    explicit ButtonRig(const char* caption = "Command", QSize size = QSize(149, 29)) {
        window.resize(300, 120);
        // Something else holds the focus, as in a real window.
        other = new QLineEdit(&window);
        other->setGeometry(200, 5, 90, 20);
        other->setFocus();
        button = new CommandButton(&window);
        button->setGeometry(QRect(QPoint(40, 40), size));
        button->Create();
        button->Model().SetCaption(caption);
        button->SetClickHandler([this] { ++clicks; });
        button->Model().Initialize();
    }
    QImage Shot() { return button->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    QWidget window;
    QLineEdit* other = nullptr;
    CommandButton* button = nullptr;
    int clicks = 0;
};

int Channel(QRgb c, int shift) {
    return static_cast<int>((c >> shift) & 0xFF);
}

// Within a step of the colour a linear shade has at fraction t of its way.
bool NearShade(QRgb actual, QRgb from, QRgb to, double t) {
    for (int shift : {16, 8, 0}) {
        const double expected =
            Channel(from, shift) + (Channel(to, shift) - Channel(from, shift)) * t;
        if (std::abs(Channel(actual, shift) - expected) > 3) {
            return false;
        }
    }
    return true;
}

int CountColour(const QImage& image, QRgb colour, QRect area) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            n += (image.pixel(x, y) & 0xFFFFFF) == colour ? 1 : 0;
        }
    }
    return n;
}

} // namespace

class CommandButtonQtTest : public QObject {
    Q_OBJECT

private slots:
    void gradientFillsFromTheFirstRowToTheRowBeforeTheLast();
    void normalShadesDownAndHighLightShadesUp();
    void framePiecesComeFromTheStatePicture();
    void focusLinesOnlyWhileSelected();
    void disabledCaptionIsGrey();
    void captionIsMeasuredWrappedAndCentred();
    void hoverEndsAtTheTimerTickAfterTheCursorLeaves();
    void clickRaisedOncePerRelease();
    void onlyTheLeftPressTakesTheFocus();
    void accessKeyClicksOnlyWhileEnabled();
};

void CommandButtonQtTest::gradientFillsFromTheFirstRowToTheRowBeforeTheLast() {
    ButtonRig rig;
    CommandButton& b = *rig.button;
    b.Clear();
    const QRgb background = b.BackImage().pixel(0, 0) & 0xFFFFFF;
    GradientPoint top{0, 0, 0xFF00, 0xFF00, 0xFF00};
    GradientPoint bottom{148, 28, 0xC600, 0xC500, 0xD700};
    QVERIFY(b.FillVerticalGradient(top, bottom));
    const QImage& image = b.BackImage();
    QCOMPARE(image.pixel(10, 0) & 0xFFFFFF, White);
    QVERIFY(NearShade(image.pixel(10, 27), White, Shade, 27.0 / 28.0));
    QVERIFY(NearShade(image.pixel(10, 14), White, Shade, 0.5));
    // The far row and column are exclusive.
    QCOMPARE(image.pixel(10, 28) & 0xFFFFFF, background);
    QCOMPARE(image.pixel(148, 10) & 0xFFFFFF, background);
    // An empty rectangle fills nothing.
    QVERIFY(!b.FillVerticalGradient(top, GradientPoint{0, 0}));
}

void CommandButtonQtTest::normalShadesDownAndHighLightShadesUp() {
    ButtonRig rig;
    QCOMPARE(rig.button->Model().State(), ButtonState::Normal);
    QImage normal = rig.Shot();
    // First and last rows of the face inside the 4-pixel frame, away from the caption.
    QVERIFY(NearShade(normal.pixel(8, 4), White, Shade, 4.0 / 28.0));
    QVERIFY(NearShade(normal.pixel(8, 24), White, Shade, 24.0 / 28.0));

    rig.button->Model().OnMouseMove();
    QCOMPARE(rig.button->Model().State(), ButtonState::HighLight);
    QImage high = rig.Shot();
    QVERIFY(NearShade(high.pixel(8, 4), Shade, White, 4.0 / 28.0));
    QVERIFY(NearShade(high.pixel(8, 24), Shade, White, 24.0 / 28.0));
}

void CommandButtonQtTest::framePiecesComeFromTheStatePicture() {
    ButtonRig rig("", QSize(64, 25));
    const QImage normal(":/pictures/Normal.bmp");
    const QImage disable(":/pictures/Disable.bmp");
    QImage shot = rig.Shot();
    // At the pictures' own size every band pixel is the picture's.
    for (QPoint p : {QPoint(0, 0), QPoint(1, 1), QPoint(30, 1), QPoint(62, 12), QPoint(63, 24),
                     QPoint(2, 23), QPoint(1, 12)}) {
        QCOMPARE(shot.pixel(p) & 0xFFFFFF, normal.pixel(p) & 0xFFFFFF);
    }
    rig.button->Model().SetEnabled(false);
    shot = rig.Shot();
    QCOMPARE(shot.pixel(1, 12) & 0xFFFFFF, disable.pixel(1, 12) & 0xFFFFFF);
    QVERIFY((normal.pixel(1, 12) & 0xFFFFFF) != (disable.pixel(1, 12) & 0xFFFFFF));
}

void CommandButtonQtTest::focusLinesOnlyWhileSelected() {
    ButtonRig rig;
    const QRgb black = 0;
    QImage shot = rig.Shot();
    QVERIFY((shot.pixel(4, 10) & 0xFFFFFF) != black);

    rig.button->Model().OnGotFocus();
    QCOMPARE(rig.button->Model().State(), ButtonState::Selected);
    shot = rig.Shot();
    for (QPoint p : {QPoint(4, 4), QPoint(4, 24), QPoint(144, 10), QPoint(70, 4), QPoint(70, 24)}) {
        QCOMPARE(shot.pixel(p) & 0xFFFFFF, black);
    }
    // The lines lie over the back image, not in it.
    QVERIFY((rig.button->BackImage().pixel(4, 10) & 0xFFFFFF) != black);

    rig.button->Model().OnLostFocus();
    shot = rig.Shot();
    QVERIFY((shot.pixel(4, 10) & 0xFFFFFF) != black);
    QVERIFY((shot.pixel(70, 24) & 0xFFFFFF) != black);
}

void CommandButtonQtTest::disabledCaptionIsGrey() {
    ButtonRig rig("Blocked Remote Ports");
    const QRect face(5, 5, 139, 19);
    QImage shot = rig.Shot();
    QVERIFY(CountColour(shot, 0x000000, face) > 20);
    QCOMPARE(CountColour(shot, 0xC0C0C0, face), 0);

    rig.button->Model().SetEnabled(false);
    QCOMPARE(rig.button->Model().State(), ButtonState::Disable);
    QCOMPARE(rig.button->Model().FontColour(), Colour{0xC0C0C0});
    shot = rig.Shot();
    QVERIFY(CountColour(shot, 0xC0C0C0, face) > 20);
    QCOMPARE(CountColour(shot, 0x000000, face), 0);
}

void CommandButtonQtTest::captionIsMeasuredWrappedAndCentred() {
    ButtonRig rig;
    CommandButton& b = *rig.button;
    const PixelRect bounds{4, 0, 145, 29};
    const auto one = b.MeasureWrappedText("Add", bounds);
    const auto two = b.MeasureWrappedText("Add Local IPs to Allowed Add Local IPs to Allowed",
                                          PixelRect{4, 0, 60, 29});
    QVERIFY(one && two);
    QVERIFY(*one > 5);
    QVERIFY(*two >= 2 * *one);
    // "&&" shows one ampersand, and "&" before a letter is not drawn.
    QCOMPARE(b.MeasureWrappedText("A&&B", bounds), b.MeasureWrappedText("A&B", bounds));

    // The caption's ink is centred left to right.
    b.Model().SetCaption("Add");
    const QImage shot = rig.Shot();
    int left = 1000, right = -1;
    for (int y = 5; y < 24; ++y) {
        for (int x = 5; x < 144; ++x) {
            if ((shot.pixel(x, y) & 0xFFFFFF) == 0) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    QVERIFY(right > left);
    QVERIFY(std::abs((left + right) / 2 - 74) <= 2);
}

void CommandButtonQtTest::hoverEndsAtTheTimerTickAfterTheCursorLeaves() {
    ButtonRig rig;
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    // At rest away from the cursor no tick could change anything: the timer stops.
    QCursor::setPos(rig.window.mapToGlobal(QPoint(5, 5)));
    QTRY_VERIFY(!rig.button->HoverTimerRunning());
    const QPoint over = rig.button->mapToGlobal(QPoint(10, 10));
    QCursor::setPos(over);
    QCOMPARE(QApplication::widgetAt(QCursor::pos()), rig.button);
    QTest::mouseMove(rig.button, QPoint(10, 10));
    QCOMPARE(rig.button->Model().State(), ButtonState::HighLight);
    // While the cursor stays, the ticks leave the hover look alone.
    QTest::qWait(250);
    QCOMPARE(rig.button->Model().State(), ButtonState::HighLight);
    QCursor::setPos(rig.window.mapToGlobal(QPoint(5, 5)));
    QTRY_COMPARE_WITH_TIMEOUT(rig.button->Model().State(), ButtonState::Normal, 1000);
    QCOMPARE(rig.clicks, 0);
    QTRY_VERIFY(!rig.button->HoverTimerRunning());

    // Initialized again while disabled: the next tick shows Disable, then the timer rests.
    rig.button->Model().SetEnabled(false);
    rig.button->Model().Initialize();
    QCOMPARE(rig.button->Model().State(), ButtonState::Normal);
    QTRY_COMPARE_WITH_TIMEOUT(rig.button->Model().State(), ButtonState::Disable, 1000);
    QTRY_VERIFY(!rig.button->HoverTimerRunning());
}

void CommandButtonQtTest::clickRaisedOncePerRelease() {
    ButtonRig rig;
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&rig.window));
    QCursor::setPos(rig.button->mapToGlobal(QPoint(10, 10)));
    QTest::mouseMove(rig.button, QPoint(10, 10));
    QTest::mousePress(rig.button, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QVERIFY(rig.button->hasFocus());
    QVERIFY(rig.button->Model().MouseIsDown());
    QCOMPARE(rig.clicks, 0);
    QTest::mouseRelease(rig.button, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QCOMPARE(rig.clicks, 1);
    QCOMPARE(rig.button->Model().State(), ButtonState::HighLightSelect);

    // A right release raises Click too, a right press paints nothing.
    QTest::mouseClick(rig.button, Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
    QCOMPARE(rig.clicks, 2);

    // Pressed, left, and released after a tick: the focused button cancels the click.
    QTest::mousePress(rig.button, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QCursor::setPos(rig.window.mapToGlobal(QPoint(5, 5)));
    QTRY_COMPARE(rig.button->Model().State(), ButtonState::Selected);
    QTest::mouseRelease(rig.button, Qt::LeftButton, Qt::NoModifier, QPoint(-30, -30));
    QCOMPARE(rig.clicks, 2);

    // Disabled: no Click from any button.
    rig.button->Model().SetEnabled(false);
    QTest::mouseClick(rig.button, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QTest::mouseClick(rig.button, Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
    QCOMPARE(rig.clicks, 2);
}

void CommandButtonQtTest::onlyTheLeftPressTakesTheFocus() {
    for (const Qt::MouseButton press : {Qt::RightButton, Qt::MiddleButton}) {
        ButtonRig rig;
        rig.window.show();
        QVERIFY(QTest::qWaitForWindowActive(&rig.window));
        QCursor::setPos(rig.button->mapToGlobal(QPoint(10, 10)));
        QTest::mouseMove(rig.button, QPoint(10, 10));
        const QImage hover = rig.Shot();
        QTest::mousePress(rig.button, press, Qt::NoModifier, QPoint(10, 10));
        QVERIFY(!rig.button->hasFocus() && rig.Shot() == hover);
        // Leave, wait for the tick, release: the hover ends and the release clicks.
        QCursor::setPos(rig.window.mapToGlobal(QPoint(5, 5)));
        QTRY_COMPARE(rig.button->Model().State(), ButtonState::Normal);
        QTest::mouseRelease(rig.button, press, Qt::NoModifier, QPoint(-30, -30));
        QCOMPARE(rig.clicks, 1);
    }
}

void CommandButtonQtTest::accessKeyClicksOnlyWhileEnabled() {
    ButtonRig rig("&Go");
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&rig.window));
    QVERIFY(rig.button->AccessShortcut() != nullptr);
    QCOMPARE(rig.button->AccessShortcut()->key(), QKeySequence("Alt+G"));
    QCursor::setPos(rig.window.mapToGlobal(QPoint(5, 5)));
    QTRY_VERIFY(!rig.button->HoverTimerRunning());
    QTest::keyClick(&rig.window, Qt::Key_G, Qt::AltModifier);
    QCOMPARE(rig.clicks, 1);
    QCOMPARE(rig.button->Model().State(), ButtonState::HighLightSelect);
    // The key does not move the focus; with the cursor elsewhere the next tick ends the look.
    QVERIFY(!rig.button->hasFocus());
    QTRY_COMPARE_WITH_TIMEOUT(rig.button->Model().State(), ButtonState::Selected, 1000);

    rig.button->Model().SetEnabled(false);
    QCOMPARE(rig.button->AccessShortcut(), nullptr);
    QTest::keyClick(&rig.window, Qt::Key_G, Qt::AltModifier);
    QCOMPARE(rig.clicks, 1);

    rig.button->Model().SetEnabled(true);
    rig.button->Model().SetCaption("Go");
    QCOMPARE(rig.button->AccessShortcut(), nullptr);
}

QTEST_MAIN(CommandButtonQtTest)
#include "CommandButtonQtTest.moc"
