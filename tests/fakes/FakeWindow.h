#pragma once

#include "Fakes.h"
#include "core/Application.h"
#include "ui/MainWindow.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kt::testing {

// A native window that records what the behaviour asks of it.
class FakeWindow : public NativeMainWindow {
public:
    void ClearListRows() override { controls.ClearListRows(); }
    void AppendListRow(std::string_view text) override { controls.AppendListRow(text); }
    int32_t ListRowCount() const override { return controls.ListRowCount(); }
    std::string ListRowText(int32_t row) const override { return controls.ListRowText(row); }
    bool ListRowSelected(int32_t row) const override { return controls.ListRowSelected(row); }
    void SetHeadText(std::string_view text) override { controls.SetHeadText(text); }
    void SetItemBoxEnabled(bool enabled) override { controls.SetItemBoxEnabled(enabled); }
    void SetDeleteMenuEnabled(bool enabled) override { controls.SetDeleteMenuEnabled(enabled); }
    void SetAddButtonEnabled(bool enabled) override { controls.SetAddButtonEnabled(enabled); }
    Value ShowConnectedValue() const override { return controls.ShowConnectedValue(); }

    void SetCaption(std::string_view text) override { caption = text; }
    void Show() override {
        visible = true;
        ++shows;
    }
    void Hide() override { visible = false; }
    bool IsVisible() const override { return visible; }
    WindowState GetState() const override { return state; }
    void SetState(WindowState s) override { state = s; }
    void BringToFront() override { ++broughtToFront; }
    bool AddTrayIcon(std::string_view text) override {
        tip = text;
        trayIcon = trayAvailable;
        return trayAvailable;
    }
    void RemoveTrayIcon() override { trayIcon = false; }
    void SetTrayTip(std::string_view text) override { tip = text; }
    void ShowTrayNotice(std::string_view, std::string_view text) override {
        notices.emplace_back(text);
    }
    void ShowListMenu(int32_t x, int32_t y) override { menuShownAt = std::make_pair(x, y); }
    std::string ItemText() const override { return itemText; }
    void InitialiseButtons() override { ++buttonsInitialised; }

    RecordingForm controls;
    std::string caption = "Korvan Tessivo";
    bool visible = false;
    int shows = 0;
    WindowState state = WindowState::Normal;
    int broughtToFront = 0;
    bool trayAvailable = true;
    bool trayIcon = false;
    std::string tip;
    std::vector<std::string> notices;
    std::optional<std::pair<int32_t, int32_t>> menuShownAt;
    std::string itemText;
    int buttonsInitialised = 0;
};

// Hands out one FakeWindow and keeps a pointer to it for the test.
class FakeWindowFactory : public MainWindowFactory {
public:
    std::unique_ptr<NativeMainWindow> LoadMainWindow(frmMain& behaviour) override {
        ++loads;
        form = &behaviour;
        auto made = std::make_unique<FakeWindow>();
        window = made.get();
        if (prepare) {
            prepare(*window);
        }
        return made;
    }
    int loads = 0;
    frmMain* form = nullptr;
    FakeWindow* window = nullptr;
    std::function<void(FakeWindow&)> prepare;
};

} // namespace kt::testing
