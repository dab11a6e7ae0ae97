// The netlink answers the engine reads: a dump datagram and the answer to a destroy or a look-up.
#include "engine/linux/SockDiag.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kt::sockdiag;
    constexpr uint32_t kSeq = 41; // the seeds' messages carry these
    constexpr uint32_t kPort = 9001;
    // An exactly-sized heap copy starts aligned, as a receive buffer does, and ends where the
    // datagram ends, so that AddressSanitizer sees any read past it.
    const std::vector<uint8_t> datagram(data, data + size);
    std::vector<kt::TcpRow> rows;
    const DumpResult dump = ParseDump(datagram, kSeq, kPort, rows);
    Found found;
    const AckResult lookup = ParseAck(datagram, kSeq, kPort, &found);
    const AckResult destroy = ParseAck(datagram, kSeq, kPort);
    if ((dump.status == DumpStatus::Failed && dump.error <= 0) || lookup.error < 0 ||
        destroy.error < 0) {
        std::abort(); // an error number is positive, or the answer says success
    }
    return 0;
}
