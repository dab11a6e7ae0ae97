#include "net/LocalAddresses.h"

#include "core/ErrorReport.h"
#include "net/win32/Winsock.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace kt {

namespace win32 {

namespace {

constexpr WORD RequestedVersion = 0x0101;
constexpr int HostNameLength = 256;
// The numbers the error report gives for failures that carry no number of their own.
constexpr int32_t OutOfMemoryNumber = 7;
constexpr int32_t InternalErrorNumber = 51;

// A failure of the socket library that carries its Windows Sockets error number.
class WinsockError : public std::runtime_error {
public:
    WinsockError(int32_t number, const char* description)
        : std::runtime_error(description), number_(number) {}
    int32_t Number() const { return number_; }

private:
    int32_t number_;
};

// Called inside a catch block: turns whatever was thrown into the one error report.
void ReportCurrentFailure(HostServices& host, std::string_view procedure) {
    try {
        throw;
    } catch (const WinsockError& error) {
        ReportError(host, procedure, error.Number(), error.what());
    } catch (const std::system_error& error) {
        ReportError(host, procedure, error.code().value(), error.what());
    } catch (const std::bad_alloc&) {
        ReportError(host, procedure, OutOfMemoryNumber, "Out of memory");
    } catch (const std::exception& error) {
        ReportError(host, procedure, InternalErrorNumber, error.what());
    } catch (...) {
        ReportError(host, procedure, InternalErrorNumber, "Internal error");
    }
}

std::string_view TrimBlanks(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace

WinsockCalls SystemWinsock() {
    return {
        [](WORD version, WSADATA* data) { return ::WSAStartup(version, data); },
        [](char* name, int length) { return ::gethostname(name, length); },
        [](const char* name) -> const hostent* { return ::gethostbyname(name); },
    };
}

bool SocketsInitialize(HostServices& host, const WinsockCalls& calls) {
    try {
        WSADATA data{};
        if (calls.Startup(RequestedVersion, &data) != 0) {
            return false;
        }
        if (data.iMaxUdpDg < 1) {
            return false;
        }
        const uint8_t major = LoByte(data.wVersion);
        const uint8_t minor = HiByte(data.wVersion);
        return major > 1 || (major == 1 && minor >= 1);
    } catch (...) {
        ReportCurrentFailure(host, "SocketsInitialize");
        return false;
    }
}

std::string GetIP(HostServices& host, const WinsockCalls& calls) {
    char name[HostNameLength] = {};
    // A library that refuses still gets asked: the host-name query says whether it works.
    SocketsInitialize(host, calls);
    try {
        if (calls.GetHostName(name, HostNameLength) == SOCKET_ERROR) {
            return {};
        }
        const std::string hostName(TrimBlanks(std::string_view(name, strnlen(name, sizeof name))));
        const hostent* entry = calls.GetHostByName(hostName.c_str());
        if (entry == nullptr) {
            return {};
        }
        // Anything but four-byte IPv4 addresses would come out as something that is no dotted
        // address; Windows Sockets 1.1 never answers that, so it is a fault, not a result.
        if (entry->h_addrtype != AF_INET || entry->h_length != 4) {
            throw WinsockError(WSAEAFNOSUPPORT, "The host entry holds no IPv4 addresses");
        }
        std::string text;
        if (entry->h_addr_list != nullptr) {
            for (char** address = entry->h_addr_list; *address != nullptr; ++address) {
                unsigned char bytes[4];
                std::memcpy(bytes, *address, sizeof bytes);
                for (unsigned char byte : bytes) {
                    text += std::to_string(byte);
                    text += '.';
                }
                text.back() = ' ';
            }
        }
        return text;
    } catch (...) {
        ReportCurrentFailure(host, "GetIP");
        return {};
    }
}

} // namespace win32

bool SocketsInitialize(HostServices& host) {
    return win32::SocketsInitialize(host, win32::SystemWinsock());
}

std::string GetIP(HostServices& host) {
    return win32::GetIP(host, win32::SystemWinsock());
}

} // namespace kt
