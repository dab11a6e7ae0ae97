// The real program started twice: the second copy brings the first one's window back from the
// tray and ends, silently and without a window of its own, and the first closes as a user closes
// it. And asked for its version or usage: it answers on its
// handles.

#include "ui/win32/Handles.h"
#include "ui/win32/MainWindowWin32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kt::test {
namespace {

std::wstring ProgramPath() {
    // The build gives a Unix path; Wine shows the Unix root as drive Z:.
    std::wstring path = L"Z:";
    for (const char* c = KT_PROGRAM_PATH; *c != 0; ++c) {
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    }
    return path;
}

struct Started {
    win32::UniqueHandle process;
    DWORD id = 0;
    Started() = default;
    Started(Started&&) = default;
    // A copy that a failed test left running would be the next test's first copy.
    ~Started() {
        if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.get(), 1);
        }
    }
};

// Standard output and error are given only when both handles are.
Started StartProgram(const std::wstring& arguments = L"", HANDLE out = nullptr,
                     HANDLE err = nullptr) {
    std::wstring command = L"\"" + ProgramPath() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = out != nullptr && err != nullptr ? STARTF_USESTDHANDLES : 0;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    Started started;
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, startup.dwFlags != 0, 0, nullptr,
                       nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        started.process.reset(info.hProcess);
        started.id = info.dwProcessId;
    }
    return started;
}

struct Search {
    DWORD process;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectMainWindows(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->process && std::wstring(name) == win32::Win32MainWindow::ClassName) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> MainWindowsOf(DWORD process) {
    Search search{process, {}};
    EnumWindows(&CollectMainWindows, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A pipe the started program writes into; read once it has ended.
struct Pipe {
    Pipe() {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE r = nullptr, w = nullptr;
        CreatePipe(&r, &w, &inherit, 1 << 16);
        read.reset(r), write.reset(w);
    }
    std::string Drain() {
        write.reset(); // the program's copy is the last: the end of its output ends the read
        std::string text;
        char buffer[512];
        for (DWORD got = 0;
             ReadFile(read.get(), buffer, sizeof buffer, &got, nullptr) && got > 0;) {
            text.append(buffer, got);
        }
        return text;
    }
    win32::UniqueHandle read, write;
};

TEST(SecondInstance, EndsAtOnceWithoutAWindowWhileTheFirstRuns) {
    Started first = StartProgram();
    ASSERT_TRUE(first.process) << "cannot start " << KT_PROGRAM_PATH;
    std::vector<HWND> firstWindows;
    for (int i = 0; i < 200 && firstWindows.empty(); ++i) {
        Sleep(50);
        firstWindows = MainWindowsOf(first.id);
    }
    ASSERT_EQ(firstWindows.size(), 1u) << "the first copy shows no window";

    // Hidden in the tray, as a second start finds it.
    PostMessageW(firstWindows[0], WM_SYSCOMMAND, SC_MINIMIZE, 0);
    for (int i = 0; i < 100 && IsWindowVisible(firstWindows[0]); ++i) {
        Sleep(50);
    }
    ASSERT_FALSE(IsWindowVisible(firstWindows[0]));

    Pipe out, err;
    Started second = StartProgram(L"", out.write.get(), err.write.get());
    ASSERT_TRUE(second.process);
    ASSERT_EQ(WaitForSingleObject(second.process.get(), 5000), WAIT_OBJECT_0)
        << "the second copy is still running";
    DWORD code = 1;
    GetExitCodeProcess(second.process.get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(out.Drain() + err.Drain(), ""); // silent: not even about the first one's cut log
    EXPECT_TRUE(MainWindowsOf(second.id).empty());
    EXPECT_EQ(WaitForSingleObject(first.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // The first window is back, restored (shown first, then restored: wait for both).
    for (int i = 0; i < 100 && (!IsWindowVisible(firstWindows[0]) || IsIconic(firstWindows[0]));
         ++i) {
        Sleep(50);
    }
    EXPECT_TRUE(IsWindowVisible(firstWindows[0]));
    EXPECT_FALSE(IsIconic(firstWindows[0]));

    // Closing the first ends its process.
    PostMessageW(firstWindows[0], WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(first.process.get(), 10000), WAIT_OBJECT_0);
    GetExitCodeProcess(first.process.get(), &code);
    EXPECT_EQ(code, 0u);

    // With no copy left, a new one starts and shows its window.
    Started third = StartProgram();
    ASSERT_TRUE(third.process);
    std::vector<HWND> thirdWindows;
    for (int i = 0; i < 200 && thirdWindows.empty(); ++i) {
        Sleep(50);
        thirdWindows = MainWindowsOf(third.id);
    }
    EXPECT_EQ(thirdWindows.size(), 1u);
    if (!thirdWindows.empty()) {
        PostMessageW(thirdWindows[0], WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(third.process.get(), 10000) != WAIT_OBJECT_0) {
        TerminateProcess(third.process.get(), 1);
    }
}

TEST(ProgramCommandLine, AnswersVersionHelpAndUnknownOptionsOnTheirHandles) {
    const struct {
        const wchar_t* arguments;
        DWORD code;
        std::string out, err; // how each begins; empty: nothing written there
    } cases[] = {
        {L"--version", 0, "Korvan Tessivo 1.0 Build 15\n", ""},
        {L"--help", 0, "Usage: korvan-tessivo.exe [option]\n", ""},
        {L"--bogus", 2, "", "korvan-tessivo.exe: unknown option '--bogus'\nUsage: "},
    };
    const auto begins = [](const std::string& text, const std::string& head) {
        return head.empty() ? text.empty() : text.rfind(head, 0) == 0;
    };
    for (const auto& c : cases) {
        Pipe out, err;
        const Started run = StartProgram(c.arguments, out.write.get(), err.write.get());
        ASSERT_TRUE(run.process);
        if (WaitForSingleObject(run.process.get(), 10000) != WAIT_OBJECT_0) {
            TerminateProcess(run.process.get(), 1);
        }
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(run.process.get(), &code);
        EXPECT_EQ(code, c.code) << c.out << c.err;
        const std::string said = out.Drain(), complained = err.Drain();
        EXPECT_TRUE(begins(said, c.out)) << said;
        EXPECT_TRUE(begins(complained, c.err)) << complained;
    }
}

} // namespace
} // namespace kt::test
