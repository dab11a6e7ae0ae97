#pragma once

// frmMain on Win32: the window, its standard controls, the skinned buttons, the pop-up menu and
// the tray icon. Every event goes to the portable frmMain; the Manager drives the controls
// through MainForm. The list's handling and the tray icon have source files of their own.

#include "core/Application.h"
#include "ui/MainWindow.h"
#include "ui/win32/CommandWindow.h"
#include "ui/win32/Handles.h"
#include "ui/win32/WinHost.h"

#include <windows.h>

#include <array>
#include <chrono>
#include <memory>
#include <span>
#include <string>

namespace kt::win32 {

// The shell's tray icon messages come back as this one.
inline constexpr UINT TrayCallbackMessage = WM_APP + 1;
inline constexpr UINT TrayIconId = 1;
inline constexpr int FirstControlId = 1000;
inline constexpr int DeleteMenuId = 2000;
// Registered by name: a second start of the program posts it to the running window.
inline constexpr const wchar_t* BringBackMessageName = L"KorvanTessivo.BringBack";

// The second start: asks the running copy's window to come back from the tray. That copy may
// still be starting: looked for again for up to wait. False when no window was found.
bool BringBackRunningWindow(std::chrono::milliseconds wait);

// Twips to pixels at the screen's resolution (dpi), as Windows rounds.
int TwipsToPixels(int32_t twips, int dpi);

class Win32MainWindow final : public NativeMainWindow, public MessageFilter {
public:
    static constexpr const wchar_t* ClassName = L"KorvanTessivoMain";

    // The hidden window with every control in place; null when it could not be made.
    static std::unique_ptr<Win32MainWindow> Create(HINSTANCE instance, WinHost& host,
                                                   frmMain& behaviour);
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    // MainForm
    void ClearListRows() override;
    void AppendListRow(std::string_view text) override;
    int32_t ListRowCount() const override;
    std::string ListRowText(int32_t row) const override;
    // In place, with redraw off: the scroll position and the selected line stay where they are.
    void ReplaceListRows(int32_t first, int32_t count, std::span<const std::string> texts) override;
    bool ListRowSelected(int32_t row) const override;
    void SetHeadText(std::string_view text) override;
    void SetItemBoxEnabled(bool enabled) override;
    void SetDeleteMenuEnabled(bool enabled) override;
    void SetAddButtonEnabled(bool enabled) override;
    Value ShowConnectedValue() const override;

    // WindowPort
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

    // MessageFilter
    bool PreTranslateMessage(MSG& message) override;
    HWND OwnerWindow() const override { return window_.get(); }

    HWND Handle() const { return window_.get(); }
    // The window of a control; for a skinned button, its own window.
    HWND Control(ControlId id) const;
    CommandWindow* Button(ControlId id) const;
    HMENU ListMenu() const { return listMenu_.get(); }
    bool TrayIconPresent() const { return trayIconPresent_; }
    // The tool-tip last handed to the shell.
    const std::wstring& TrayTip() const { return trayTip_; }

private:
    // Only Create makes windows.
    struct Key {
        explicit Key() = default;
    };

public:
    Win32MainWindow(Key, HINSTANCE instance, WinHost& host, frmMain& behaviour);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR id, DWORD_PTR self);
    static LRESULT CALLBACK ItemProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR id, DWORD_PTR self);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool CreateControls(HWND window);
    // Saves the rules, removes the tray icon and lets the main loop end.
    void Close();
    void PaintBackground(HDC dc);
    LRESULT ControlColours(HDC dc, HWND control, UINT message, WPARAM wParam, LPARAM lParam);
    void OnListMouseUp(MouseButton button, LPARAM lParam);
    bool DeleteMenuEnabled() const;

    HINSTANCE instance_;
    WinHost& host_;
    frmMain& behaviour_;
    UniqueWindow window_;
    bool ready_ = false; // every control made: events may reach the behaviour
    int dpiX_ = 96;
    int dpiY_ = 96;
    UniqueIcon icon_;
    UniqueIcon smallIcon_;
    UniqueBitmap background_;
    MemoryDc backgroundDc_;
    UniqueFont arial_;
    UniqueFont arialBold_;
    UniqueFont sansSerif_;
    UniqueBrush headBrush_;
    UniqueBrush listBrush_;
    UniqueMenu listMenu_;
    ButtonPictures pictures_;
    std::array<HWND, MainWindowControls.size()> controls_{};
    std::array<std::unique_ptr<CommandWindow>, MainWindowControls.size()> buttons_;
    // Each button's saved settings: its caption and font.
    std::array<MemoryPropertyBag, MainWindowControls.size()> savedButtons_;
    HWND lastFocus_ = nullptr;
    bool trayIconPresent_ = false;
    std::wstring trayTip_;
    UINT taskbarCreated_ = 0;
    UINT bringBack_ = 0;
};

// Loads frmMain's window for the application.
class Win32WindowFactory final : public MainWindowFactory {
public:
    Win32WindowFactory(HINSTANCE instance, WinHost& host) : instance_(instance), host_(host) {}
    std::unique_ptr<NativeMainWindow> LoadMainWindow(frmMain& behaviour) override;

private:
    HINSTANCE instance_;
    WinHost& host_;
};

} // namespace kt::win32
