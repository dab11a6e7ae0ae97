#pragma once

#include "core/HostServices.h"

#include <winsock2.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kt::win32 {

// The Windows Sockets calls behind the local addresses; replaceable so that tests can make the
// library refuse, grant an old version or answer odd host entries.
struct WinsockCalls {
    std::function<int(WORD version, WSADATA* data)> Startup;
    std::function<int(char* name, int length)> GetHostName;
    std::function<const hostent*(const char* name)> GetHostByName;
};

WinsockCalls SystemWinsock();

// kt::SocketsInitialize and kt::GetIP with the given calls.
bool SocketsInitialize(HostServices& host, const WinsockCalls& calls);
std::string GetIP(HostServices& host, const WinsockCalls& calls);

// The AddressFormatter of Windows (see net/AddressText.h): the text inet_ntoa gives.
bool FormatAddressWithInetNtoa(uint32_t address, char* out, size_t size);

} // namespace kt::win32
