// The Windows program: the real host, settings, connection table and window, then the
// application's own start-up, loop and shutdown. A command line asks for the usage or the
// version instead.

#include "core/Application.h"
#include "core/CommandLine.h"
#include "core/CutLog.h"
#include "core/win32/RegistrySettingsStore.h"
#include "core/win32/WideText.h"
#include "engine/win32/WinTcpTable.h"
#include "net/LocalAddresses.h"
#include "net/win32/Winsock.h"
#include "ui/win32/Handles.h"
#include "ui/win32/MainWindowWin32.h"
#include "ui/win32/WinHost.h"

#include <shellapi.h>
#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

// Deleting a connection needs an elevated token; without one every cut is refused.
bool Elevated() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return true; // cannot tell: the first refused cut will say so
    }
    const kt::win32::UniqueHandle owned(token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return !::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) ||
           elevation.TokenIsElevated != 0;
}

struct LocalFreer {
    void operator()(wchar_t** memory) const { LocalFree(memory); }
};

// The command line, split as the C runtime splits it; the program's own name first.
std::vector<std::string> Arguments() {
    int count = 0;
    const std::unique_ptr<wchar_t*, LocalFreer> split(
        CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::string> arguments;
    for (int i = 0; split && i < count; ++i) {
        // Text that is no UTF-16 cannot be an option: it stays, as a replacement character.
        arguments.push_back(kt::win32::ToUtf8(split.get()[i]).value_or("\xEF\xBF\xBD"));
    }
    return arguments;
}

// A console takes UTF-16; a file or pipe gets the UTF-8 bytes.
bool WriteAll(HANDLE handle, const std::string& text) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        const std::wstring wide = kt::win32::ToWide(text).value_or(std::wstring{});
        DWORD written = 0;
        return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written,
                             nullptr) != FALSE;
    }
    for (size_t done = 0; done < text.size();) {
        DWORD written = 0;
        if (!WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                       nullptr) ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

// A program of the GUI subsystem has no console of its own: its standard handles exist only when
// its starter gave them; else the console it was started from, else a message box.
void Tell(const std::string& text, bool error) {
    if (WriteAll(GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), text)) {
        return;
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        const kt::win32::UniqueHandle console(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                                          FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                          nullptr, OPEN_EXISTING, 0, nullptr));
        const bool written = console.get() != INVALID_HANDLE_VALUE && WriteAll(console.get(), text);
        FreeConsole();
        if (written) {
            return;
        }
    }
    const std::wstring wide = kt::win32::ToWide(text).value_or(std::wstring{});
    const std::wstring title = kt::win32::ToWide(kt::ApplicationTitle).value_or(std::wstring{});
    MessageBoxW(nullptr, wide.c_str(), title.c_str(),
                MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Local\ : one copy per logon session, as each user has a tray of their own.
    kt::win32::WinHost host(L"Local\\KorvanTessivo.Running");

    const std::vector<std::string> arguments = Arguments();
    const std::string program = arguments.empty() ? "korvan-tessivo.exe" : arguments.front();
    const kt::CommandLineChoice choice = kt::ParseWindowsArguments(
        std::span<const std::string>(arguments).subspan(arguments.empty() ? 0 : 1));
    switch (choice.Action) {
    case kt::CommandLineAction::Help:
        Tell(kt::UsageText(program), false);
        return 0;
    case kt::CommandLineAction::Version:
        Tell(kt::VersionText(host.Version()) + "\n", false);
        return 0;
    case kt::CommandLineAction::UsageError:
        Tell(kt::UsageErrorText(program, choice.Offending), true);
        return 2;
    case kt::CommandLineAction::Run:
        break;
    }

    // A second copy brings the first one's window back and ends, before it touches the first
    // one's cut log.
    if (host.PreviousInstance()) {
        kt::win32::BringBackRunningWindow(std::chrono::seconds(5));
        return 0;
    }
    kt::win32::RegistrySettingsStore store;
    kt::win32::WinTcpTable table;
    kt::win32::Win32WindowFactory windows(instance, host);
    kt::Platform platform{host,
                          store,
                          table,
                          windows,
                          [&host] { return kt::GetIP(host); },
                          kt::win32::FormatAddressWithInetNtoa};
    // The log's folder is this user's own; a log that cannot be opened costs the log only.
    std::string whyNoLog;
    std::unique_ptr<kt::LogFile> logFile = kt::OpenCutLogFile(whyNoLog);
    if (!whyNoLog.empty()) {
        host.Diagnose("no cut log: " + whyNoLog);
    }
    kt::CutLog log(std::move(logFile), {}, [&host](std::string_view why) { host.Diagnose(why); });
    platform.RecordCut = [&log](const kt::CutRecord& record) { log.Record(record); };
    platform.MissingRights = [] {
        return Elevated() ? std::string() : std::string("the program is not elevated");
    };
    platform.RightsHint = "Run it as an administrator.";
    kt::Application application(platform);
    application.Main();
    return 0;
}
