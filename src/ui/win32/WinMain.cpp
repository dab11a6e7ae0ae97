// The Windows program: the real host, settings, connection table and window, then the
// application's own start-up, loop and shutdown.

#include "core/Application.h"
#include "core/win32/RegistrySettingsStore.h"
#include "engine/win32/WinTcpTable.h"
#include "net/LocalAddresses.h"
#include "net/win32/Winsock.h"
#include "ui/win32/MainWindowWin32.h"
#include "ui/win32/WinHost.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Local\ : one copy per logon session, as each user has a tray of their own.
    kt::win32::WinHost host(L"Local\\KorvanTessivo.Running");
    kt::win32::RegistrySettingsStore store;
    kt::win32::WinTcpTable table;
    kt::win32::Win32WindowFactory windows(instance, host);
    kt::Platform platform{host,
                          store,
                          table,
                          windows,
                          [&host] { return kt::GetIP(host); },
                          kt::win32::FormatAddressWithInetNtoa};
    kt::Application application(platform);
    application.Main();
    return 0;
}
