// The cut log on Windows: cuts.log in %LOCALAPPDATA%\KorvanTessivo, a folder held open so that it
// cannot be moved while the program runs; a line is written whole or not at all, and when full
// the open file is renamed to cuts.log.1.

#include "core/CutLog.h"
#include "core/win32/UniqueHandle.h"
#include "core/win32/WideText.h"

#include <windows.h>

#include <shlobj.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace kt {
namespace {

using win32::UniqueHandle;

constexpr const wchar_t* FileName = L"\\cuts.log";
constexpr const wchar_t* OlderName = L"\\cuts.log.1";

UniqueHandle Owned(HANDLE handle) {
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

std::string Said(const std::wstring& path, DWORD error) {
    wchar_t text[512] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text / sizeof text[0], nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                          text[length - 1] == L'.' || text[length - 1] == L' ')) {
        --length;
    }
    const std::optional<std::string> message = win32::ToUtf8(std::wstring_view(text, length));
    return win32::ToUtf8(path).value_or("?") + ": " +
           (message && !message->empty() ? *message : "error " + std::to_string(error));
}

// A directory or file reached by name, that is what it seems and no link to somewhere else.
bool IsPlain(HANDLE handle, bool folder, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
}

class HandleLogFile final : public LogFile {
public:
    HandleLogFile(UniqueHandle folder, std::wstring folderPath, uint64_t capBytes)
        : Folder(std::move(folder)), FilePath(folderPath + FileName),
          OlderPath(folderPath + OlderName), Cap(capBytes) {}

    // Opens cuts.log, creating it; a link planted there is opened as itself and refused.
    bool Open() {
        File.reset();
        // Write access as well as append: a line the disk could not take whole is cut off again.
        UniqueHandle file = Owned(CreateFileW(
            FilePath.c_str(), FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | DELETE,
            FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file) {
            Error = Said(FilePath, GetLastError());
            return false;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileType(file.get()) != FILE_TYPE_DISK || !IsPlain(file.get(), false, info)) {
            Error = win32::ToUtf8(FilePath).value_or("cuts.log") + " is not a regular file";
            return false;
        }
        if (info.nNumberOfLinks != 1) {
            Error = win32::ToUtf8(FilePath).value_or("cuts.log") + " has other names (hard links)";
            return false;
        }
        File = std::move(file);
        return true;
    }

    bool Append(std::string_view line) override {
        const std::string text = std::string(line) + '\n';
        LARGE_INTEGER size{};
        if (!File && !Open()) {
            return false;
        }
        if (!GetFileSizeEx(File.get(), &size)) {
            return Fail(FilePath);
        }
        if (size.QuadPart > 0 && static_cast<uint64_t>(size.QuadPart) + text.size() > Cap) {
            if (!Rename() || !Open()) {
                return false;
            }
            size.QuadPart = 0;
            if (!GetFileSizeEx(File.get(), &size)) {
                return Fail(FilePath);
            }
        }
        // Nobody else may write the file (no write sharing): its end is where the line goes.
        for (DWORD done = 0; done < text.size();) {
            OVERLAPPED at{};
            const uint64_t offset = static_cast<uint64_t>(size.QuadPart) + done;
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD written = 0;
            if (!WriteFile(File.get(), text.data() + done, static_cast<DWORD>(text.size()) - done,
                           &written, &at) ||
                written == 0) {
                const DWORD error = written == 0 ? ERROR_DISK_FULL : GetLastError();
                // Half a line would have the next one appended to it: the file goes back to
                // where it stood, also when a failed write says nothing of what it wrote.
                FILE_END_OF_FILE_INFO end{};
                end.EndOfFile = size;
                if (!SetFileInformationByHandle(File.get(), FileEndOfFileInfo, &end, sizeof end)) {
                    return Fail(FilePath);
                }
                SetLastError(error);
                return Fail(FilePath);
            }
            done += written;
        }
        return true;
    }

    std::string LastError() const override { return Error; }

private:
    // The open file itself, whatever its name now, becomes the older one.
    bool Rename() {
        const DWORD nameBytes = static_cast<DWORD>(OlderPath.size() * sizeof(wchar_t));
        std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        info->ReplaceIfExists = TRUE;
        info->RootDirectory = nullptr;
        info->FileNameLength = nameBytes;
        std::memcpy(buffer.data() + offsetof(FILE_RENAME_INFO, FileName), OlderPath.data(),
                    nameBytes);
        if (!SetFileInformationByHandle(File.get(), FileRenameInfo, info,
                                        static_cast<DWORD>(buffer.size()))) {
            return Fail(OlderPath);
        }
        return true;
    }

    bool Fail(const std::wstring& path) {
        Error = Said(path, GetLastError());
        return false;
    }

    UniqueHandle Folder; // held without delete sharing: the folder stays where it is
    const std::wstring FilePath;
    const std::wstring OlderPath;
    const uint64_t Cap;
    UniqueHandle File;
    std::string Error;
};

} // namespace

std::unique_ptr<LogFile> OpenCutLogFileIn(const std::string& folder, std::string& whyNot,
                                          uint64_t capBytes) {
    const std::optional<std::wstring> path = win32::ToWide(folder);
    if (!path || path->empty()) {
        whyNot = "the cut log's folder has no valid name";
        return nullptr;
    }
    if (!CreateDirectoryW(path->c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        whyNot = Said(*path, GetLastError());
        return nullptr;
    }
    UniqueHandle held = Owned(CreateFileW(
        path->c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!held) {
        whyNot = Said(*path, GetLastError());
        return nullptr;
    }
    if (!IsPlain(held.get(), true, info)) {
        whyNot = folder + " is not a folder of its own (a link or junction?)";
        return nullptr;
    }
    auto file = std::make_unique<HandleLogFile>(std::move(held), *path, capBytes);
    if (!file->Open()) {
        whyNot = file->LastError();
        return nullptr;
    }
    return file;
}

std::unique_ptr<LogFile> OpenCutLogFile(std::string& whyNot, uint64_t capBytes) {
    PWSTR known = nullptr;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known);
    const std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owner(known, CoTaskMemFree);
    const std::optional<std::string> local =
        SUCCEEDED(result) && known != nullptr ? win32::ToUtf8(known) : std::nullopt;
    if (!local) {
        whyNot = "no folder for the cut log: the local application data folder is unknown";
        return nullptr;
    }
    return OpenCutLogFileIn(*local + "\\KorvanTessivo", whyNot, capBytes);
}

} // namespace kt
