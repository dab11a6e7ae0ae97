#pragma once

#include <cstdint>
#include <string>

namespace kt {

class HostServices;

uint8_t HiByte(uint32_t value);
uint8_t LoByte(uint32_t value);

// Starts the socket library; true when the socket functions may be used.
bool SocketsInitialize(HostServices& host);

// The machine's own IPv4 addresses in resolver order, each followed by one space; empty when the
// host name cannot be read or resolved. Run-time errors are reported through host.
std::string GetIP(HostServices& host);

} // namespace kt
