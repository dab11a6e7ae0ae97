#pragma once

#include "core/Application.h"
#include "ui/MainWindow.h"

#include <QAbstractListModel>
#include <QImage>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QSystemTrayIcon;

namespace kt {

class CommandButton;

// The list box's lines. Rows are changed in place, inserted and removed one range at a time, so
// that the view keeps its place and lays out only the rows that moved.
class ListLines final : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    void Clear();
    void Append(QString line);
    // Rows [first, first + count) become texts.
    void Replace(int first, int count, std::span<const std::string> texts);
    const QString& Line(int row) const { return lines_[static_cast<size_t>(row)]; }

private:
    std::vector<QString> lines_;
};

// frmMain on Qt: the controls of MainWindowControls at their places, the background picture, the
// list box's pop-up menu and the tray icon. Every event goes to the frmMain behaviour.
class QtMainWindow final : public QWidget, public NativeMainWindow {
public:
    // trayAvailable answers whether the desktop has a notification area; by default Qt's answer.
    explicit QtMainWindow(frmMain& behaviour, std::function<bool()> trayAvailable = {});
    ~QtMainWindow() override;

    // NativeMainWindow: the controls the Manager drives.
    void ClearListRows() override;
    void AppendListRow(std::string_view text) override;
    void ReplaceListRows(int32_t first, int32_t count, std::span<const std::string> texts) override;
    int32_t ListRowCount() const override;
    std::string ListRowText(int32_t row) const override;
    bool ListRowSelected(int32_t row) const override;
    void SetHeadText(std::string_view text) override;
    void SetItemBoxEnabled(bool enabled) override;
    void SetDeleteMenuEnabled(bool enabled) override;
    void SetAddButtonEnabled(bool enabled) override;
    Value ShowConnectedValue() const override;

    // The window itself.
    void SetCaption(std::string_view text) override;
    void Show() override;
    void Hide() override;
    bool IsVisible() const override;
    WindowState GetState() const override;
    void SetState(WindowState state) override;
    void BringToFront() override;
    bool AddTrayIcon(std::string_view tip) override;
    void RemoveTrayIcon() override;
    void SetTrayTip(std::string_view tip) override;
    void ShowTrayNotice(std::string_view title, std::string_view text) override;
    void ShowListMenu(int32_t x, int32_t y) override;
    std::string ItemText() const override;
    void InitialiseButtons() override;

    // The controls, by name, for the front end's own use and its tests.
    CommandButton* Button(ControlId id) const;
    QWidget* Control(ControlId id) const;
    QListView* List() const { return lstMain_; }
    QLineEdit* ItemBox() const { return txtItem_; }
    QLineEdit* HeadBox() const { return txtHead_; }
    QCheckBox* ShowConnectedBox() const { return chkShowX_; }
    QMenu* ListMenu() const { return mnuListBox_; }
    QAction* DeleteAction() const { return mnuDelete_; }
    QSystemTrayIcon* TrayIcon() const { return tray_.get(); }

    // Twips to this screen's pixels.
    int ToPixels(int32_t twips) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();

    frmMain& behaviour_;
    std::function<bool()> trayAvailable_;
    QImage background_;
    QCheckBox* chkShowX_ = nullptr;
    QLineEdit* txtItem_ = nullptr;
    QLineEdit* txtHead_ = nullptr;
    QListView* lstMain_ = nullptr;
    ListLines* lines_ = nullptr;
    QLabel* Label1_ = nullptr;
    QMenu* mnuListBox_ = nullptr;
    QAction* mnuDelete_ = nullptr;
    std::map<ControlId, QWidget*> controls_;
    // In the window's control order.
    std::vector<CommandButton*> buttons_;
    std::unique_ptr<QSystemTrayIcon> tray_;
};

// Creates the Qt main window for the behaviour; the last window made is the one a stop signal
// closes.
class QtMainWindowFactory final : public MainWindowFactory {
public:
    explicit QtMainWindowFactory(std::function<bool()> trayAvailable = {})
        : trayAvailable_(std::move(trayAvailable)) {}
    std::unique_ptr<NativeMainWindow> LoadMainWindow(frmMain& behaviour) override;
    QtMainWindow* LastWindow() const { return last_.data(); }

private:
    std::function<bool()> trayAvailable_;
    QPointer<QtMainWindow> last_;
};

} // namespace kt
