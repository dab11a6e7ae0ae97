#pragma once

#include <cstdint>
#include <string>

namespace kt {

class HostServices;

uint8_t HiByte(uint32_t value);
uint8_t LoByte(uint32_t value);

// Starts the socket library; true when the socket functions may be used.
bool SocketsInitialize(HostServices& host);

// The machine's own IPv4 addresses, each once and followed by one space: on Linux those of the
// interfaces that are up, in interface order; on Windows those the host name resolves to. Empty
// when they cannot be read. Run-time errors are reported through host.
std::string GetIP(HostServices& host);

} // namespace kt
