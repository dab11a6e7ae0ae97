#include "ui/qt/QtMainWindow.h"

#include "core/qt/QtText.h"
#include "ui/button/MemoryPropertyBag.h"
#include "ui/qt/CommandButton.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QSystemTrayIcon>

#include <algorithm>
#include <cmath>
#include <optional>

namespace kt {

namespace {

QFont ArialFont(bool bold = false) {
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

void SetColours(QWidget* widget, QPalette::ColorRole backgroundRole, const QColor& background,
                const QColor& text) {
    QPalette palette = widget->palette();
    palette.setColor(backgroundRole, background);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::WindowText, text);
    widget->setPalette(palette);
}

// A check box without a caption, as small as its box: the style's indicator fills the control
// instead of sitting at the style's offset, where a 13-pixel control cuts it off.
class IndicatorCheckBox final : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        option.rect = rect();
        painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, option);
    }
    bool hitButton(const QPoint& at) const override { return rect().contains(at); }
};

// The list box's view. Its lines are all one line high, so a changed line moves nothing: only
// its own row is repainted, where QListView would lay out and repaint the whole list.
class LineListView final : public QListView {
public:
    using QListView::QListView;

protected:
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles) override {
        QAbstractItemView::dataChanged(topLeft, bottomRight, roles);
    }
};

} // namespace

int ListLines::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant ListLines::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    return Line(index.row());
}

void ListLines::Clear() {
    beginResetModel();
    lines_.clear();
    endResetModel();
}

void ListLines::Append(QString line) {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    lines_.push_back(std::move(line));
    endInsertRows();
}

void ListLines::Replace(int first, int count, std::span<const std::string> texts) {
    first = std::clamp(first, 0, rowCount());
    count = std::clamp(count, 0, rowCount() - first);
    const int given = static_cast<int>(texts.size());
    const int kept = std::min(count, given);
    int changedFrom = -1;
    int changedTo = -1;
    for (int i = 0; i < kept; ++i) {
        QString line = FromUtf8(texts[static_cast<size_t>(i)]);
        QString& row = lines_[static_cast<size_t>(first + i)];
        if (row != line) {
            row = std::move(line);
            changedFrom = changedFrom < 0 ? first + i : changedFrom;
            changedTo = first + i;
        }
    }
    if (changedFrom >= 0) {
        emit dataChanged(index(changedFrom), index(changedTo), {Qt::DisplayRole});
    }
    if (given > count) {
        beginInsertRows({}, first + count, first + given - 1);
        std::vector<QString> added;
        added.reserve(static_cast<size_t>(given - count));
        for (const std::string& text : texts.subspan(static_cast<size_t>(count))) {
            added.push_back(FromUtf8(text));
        }
        lines_.insert(lines_.begin() + first + count, std::make_move_iterator(added.begin()),
                      std::make_move_iterator(added.end()));
        endInsertRows();
    } else if (given < count) {
        beginRemoveRows({}, first + given, first + count - 1);
        lines_.erase(lines_.begin() + first + given, lines_.begin() + first + count);
        endRemoveRows();
    }
}

QtMainWindow::QtMainWindow(frmMain& behaviour, std::function<bool()> trayAvailable)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      behaviour_(behaviour), trayAvailable_(std::move(trayAvailable)),
      background_(QStringLiteral(":/pictures/Background.bmp")) {
    if (!trayAvailable_) {
        trayAvailable_ = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    }
    setWindowTitle(FromUtf8(StoredCaption));
    setWindowIcon(QIcon(QStringLiteral(":/pictures/KorvanTessivo.ico")));
    setFixedSize(ToPixels(ClientWidthTwips), ToPixels(ClientHeightTwips));
    BuildControls();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect place = rect();
        place.moveCenter(screen->availableGeometry().center());
        move(place.topLeft());
    }
}

QtMainWindow::~QtMainWindow() = default;

int QtMainWindow::ToPixels(int32_t twips) const {
    const int dpi = logicalDpiX() > 0 ? logicalDpiX() : 96;
    return static_cast<int>(std::lround(twips * dpi / 1440.0));
}

void QtMainWindow::BuildControls() {
    for (const ControlLayout& layout : MainWindowControls) {
        QWidget* widget = nullptr;
        switch (layout.Kind) {
        case ControlKind::CheckBox:
            chkShowX_ = new IndicatorCheckBox(this);
            chkShowX_->setChecked(true);
            QObject::connect(chkShowX_, &QCheckBox::clicked, this,
                             [this] { behaviour_.OnClick(ControlId::chkShowX); });
            widget = chkShowX_;
            break;
        case ControlKind::TextBox: {
            auto* box = new QLineEdit(FromUtf8(layout.Text), this);
            box->setFont(ArialFont(layout.Id == ControlId::txtHead));
            if (layout.Id == ControlId::txtHead) {
                box->setReadOnly(true);
                box->setAlignment(Qt::AlignCenter);
                SetColours(box, QPalette::Base, QColor(92, 197, 231), Qt::black);
                txtHead_ = box;
            } else {
                txtItem_ = box;
                QObject::connect(box, &QLineEdit::returnPressed, this,
                                 [this] { behaviour_.OnItemEnter(); });
            }
            widget = box;
            break;
        }
        case ControlKind::ListBox:
            lstMain_ = new LineListView(this);
            lines_ = new ListLines(lstMain_);
            lstMain_->setModel(lines_);
            // Every line is one line of the same font: the view measures one, not thousands.
            lstMain_->setUniformItemSizes(true);
            lstMain_->setEditTriggers(QAbstractItemView::NoEditTriggers);
            lstMain_->setFont(ArialFont());
            lstMain_->setSelectionMode(QAbstractItemView::SingleSelection);
            SetColours(lstMain_, QPalette::Base, QColor(180, 226, 243), Qt::black);
            lstMain_->viewport()->installEventFilter(this);
            lstMain_->installEventFilter(this);
            widget = lstMain_;
            break;
        case ControlKind::Label:
            Label1_ = new QLabel(FromUtf8(layout.Text), this);
            Label1_->setFont(ArialFont());
            Label1_->setAutoFillBackground(true);
            widget = Label1_;
            break;
        case ControlKind::Button: {
            auto* button = new CommandButton(this);
            const ControlId id = layout.Id;
            button->SetClickHandler([this, id] { behaviour_.OnClick(id); });
            buttons_.push_back(button);
            widget = button;
            break;
        }
        }
        widget->setObjectName(
            QString::fromLatin1(layout.Name.data(), static_cast<qsizetype>(layout.Name.size())));
        widget->setGeometry(ToPixels(layout.Left), ToPixels(layout.Top), ToPixels(layout.Width),
                            ToPixels(layout.Height));
        controls_[layout.Id] = widget;
        if (auto* button = dynamic_cast<CommandButton*>(widget)) {
            // The button loads like a saved control: its stored caption and font.
            button->Create();
            MemoryPropertyBag bag;
            bag.Write("Caption", Value(layout.Text));
            bag.WriteFont("Font", ButtonFont{});
            button->Model().ReadProperties(bag);
            button->MarkSaved();
        }
    }

    // Tab order by tab index; the label takes no focus.
    std::vector<const ControlLayout*> byTab;
    for (const ControlLayout& layout : MainWindowControls) {
        if (layout.Kind != ControlKind::Label) {
            byTab.push_back(&layout);
        }
    }
    std::sort(byTab.begin(), byTab.end(), [](const ControlLayout* a, const ControlLayout* b) {
        return a->TabIndex < b->TabIndex;
    });
    for (size_t i = 1; i < byTab.size(); ++i) {
        QWidget::setTabOrder(controls_[byTab[i - 1]->Id], controls_[byTab[i]->Id]);
    }
    lstMain_->setFocus();

    mnuListBox_ = new QMenu(this);
    mnuListBox_->setObjectName(QStringLiteral("mnuListBox"));
    mnuDelete_ = mnuListBox_->addAction(FromUtf8(DeleteMenuText));
    mnuDelete_->setObjectName(QStringLiteral("mnuDelete"));
    QObject::connect(mnuDelete_, &QAction::triggered, this, [this] { behaviour_.OnDeleteMenu(); });
}

CommandButton* QtMainWindow::Button(ControlId id) const {
    return dynamic_cast<CommandButton*>(Control(id));
}

QWidget* QtMainWindow::Control(ControlId id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void QtMainWindow::ClearListRows() {
    lines_->Clear();
}

void QtMainWindow::AppendListRow(std::string_view text) {
    lines_->Append(FromUtf8(text));
}

void QtMainWindow::ReplaceListRows(int32_t first, int32_t count,
                                   std::span<const std::string> texts) {
    // Rows outside the range keep their selection by themselves; a selected line inside it is
    // looked for among the new lines.
    QItemSelectionModel* selection = lstMain_->selectionModel();
    const QModelIndexList selected = selection->selectedIndexes();
    std::optional<std::string> moving;
    if (!selected.isEmpty() && selected.front().row() >= first &&
        selected.front().row() < first + count) {
        moving = lines_->Line(selected.front().row()).toStdString();
    }
    lines_->Replace(first, count, texts);
    if (moving) {
        const auto found = std::find(texts.begin(), texts.end(), *moving);
        if (found == texts.end()) {
            selection->clearSelection();
        } else {
            selection->setCurrentIndex(
                lines_->index(first + static_cast<int>(found - texts.begin())),
                QItemSelectionModel::ClearAndSelect);
        }
    }
}

int32_t QtMainWindow::ListRowCount() const {
    return static_cast<int32_t>(lines_->rowCount());
}

std::string QtMainWindow::ListRowText(int32_t row) const {
    return row < 0 || row >= lines_->rowCount() ? std::string() : lines_->Line(row).toStdString();
}

bool QtMainWindow::ListRowSelected(int32_t row) const {
    return row >= 0 && row < lines_->rowCount() &&
           lstMain_->selectionModel()->isSelected(lines_->index(row));
}

void QtMainWindow::SetHeadText(std::string_view text) {
    const QString head = FromUtf8(text);
    // Another heading, another list: a line chosen in the last one (which may have stayed in
    // place, being the same text) is not chosen in this one.
    if (head != txtHead_->text()) {
        lstMain_->selectionModel()->clearSelection();
    }
    txtHead_->setText(head);
}

void QtMainWindow::SetItemBoxEnabled(bool enabled) {
    txtItem_->setEnabled(enabled);
}

void QtMainWindow::SetDeleteMenuEnabled(bool enabled) {
    mnuDelete_->setEnabled(enabled);
}

void QtMainWindow::SetAddButtonEnabled(bool enabled) {
    Button(ControlId::cmdAdd)->Model().SetEnabled(enabled);
}

Value QtMainWindow::ShowConnectedValue() const {
    return Value(static_cast<int16_t>(chkShowX_->isChecked() ? 1 : 0));
}

void QtMainWindow::SetCaption(std::string_view text) {
    setWindowTitle(FromUtf8(text));
}

void QtMainWindow::Show() {
    show();
}

void QtMainWindow::Hide() {
    hide();
}

bool QtMainWindow::IsVisible() const {
    return isVisible();
}

WindowState QtMainWindow::GetState() const {
    const Qt::WindowStates state = windowState();
    if (state & Qt::WindowMinimized) {
        return WindowState::Minimized;
    }
    if (state & (Qt::WindowMaximized | Qt::WindowFullScreen)) {
        return WindowState::Maximized;
    }
    return WindowState::Normal;
}

void QtMainWindow::SetState(WindowState state) {
    switch (state) {
    case WindowState::Normal:
        setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
        break;
    case WindowState::Minimized:
        setWindowState(windowState() | Qt::WindowMinimized);
        break;
    case WindowState::Maximized:
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowMaximized);
        break;
    }
}

void QtMainWindow::BringToFront() {
    raise();
    // The desktop restores a minimized window it is asked to activate; a minimized window is to
    // come up still minimized.
    if (!(windowState() & Qt::WindowMinimized)) {
        activateWindow();
    }
}

bool QtMainWindow::AddTrayIcon(std::string_view tip) {
    if (!trayAvailable_()) {
        return false;
    }
    tray_ = std::make_unique<QSystemTrayIcon>(windowIcon());
    tray_->setToolTip(FromUtf8(tip));
    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         switch (reason) {
                         case QSystemTrayIcon::Trigger:
                             behaviour_.OnTrayMessage(TrayLeftButtonUp);
                             break;
                         case QSystemTrayIcon::DoubleClick:
                             behaviour_.OnTrayMessage(TrayLeftButtonDoubleClick);
                             break;
                         case QSystemTrayIcon::Context:
                             behaviour_.OnTrayMessage(TrayRightButtonUp);
                             break;
                         default:
                             break;
                         }
                     });
    tray_->show();
    return true;
}

void QtMainWindow::RemoveTrayIcon() {
    if (tray_) {
        tray_->hide();
        tray_.reset();
    }
}

void QtMainWindow::SetTrayTip(std::string_view tip) {
    if (tray_) {
        tray_->setToolTip(FromUtf8(tip));
    }
}

void QtMainWindow::ShowTrayNotice(std::string_view title, std::string_view text) {
    if (tray_) {
        tray_->showMessage(FromUtf8(title), FromUtf8(text), QSystemTrayIcon::Information);
    }
}

void QtMainWindow::ShowListMenu(int32_t x, int32_t y) {
    mnuListBox_->popup(lstMain_->mapToGlobal(QPoint(x, y)));
}

std::string QtMainWindow::ItemText() const {
    return txtItem_->text().toStdString();
}

void QtMainWindow::InitialiseButtons() {
    for (CommandButton* button : buttons_) {
        button->Model().Initialize();
    }
}

void QtMainWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, background_);
}

void QtMainWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        behaviour_.OnResize();
    }
}

void QtMainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    behaviour_.OnResize();
}

void QtMainWindow::closeEvent(QCloseEvent* event) {
    if (behaviour_.OnQueryUnload()) {
        event->accept();
    } else {
        event->ignore();
    }
}

bool QtMainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lstMain_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        behaviour_.OnListDelete();
        return true;
    }
    // Only the left button selects a line: the row Delete removes stays the one the user chose.
    if (watched == lstMain_->viewport() &&
        (event->type() == QEvent::MouseButtonPress ||
         event->type() == QEvent::MouseButtonDblClick) &&
        static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton) {
        return true;
    }
    if (watched == lstMain_->viewport() && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (auto button = ToMouseButton(mouse->button())) {
            const QPoint at = lstMain_->viewport()->mapTo(lstMain_, mouse->position().toPoint());
            behaviour_.OnListMouseUp(*button, at.x(), at.y());
        }
    }
    return QWidget::eventFilter(watched, event);
}

std::unique_ptr<NativeMainWindow> QtMainWindowFactory::LoadMainWindow(frmMain& behaviour) {
    auto window = std::make_unique<QtMainWindow>(behaviour, trayAvailable_);
    last_ = window.get();
    return window;
}

} // namespace kt
