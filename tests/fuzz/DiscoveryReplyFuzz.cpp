// LAN discovery replies: bytes 0-3 are the sender's IPv4 address, the rest one datagram,
// passed in a buffer of exactly its size. A kept printer names the sender and has texts
// no longer than their fields.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "discovery/UtilTcp.h"
#include "QuietLog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    if (cbData < 4) return 0;
    static CUtilTcp discovery;
    discovery.nDevices = 0;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    std::memcpy(&from.sin_addr, pData, 4);
    std::vector<unsigned char> reply(pData + 4, pData + cbData);
    discovery.KeepReply(reply.data(), reply.size(), from);
    if (discovery.nDevices > 1) std::abort();
    if (discovery.nDevices == 1) {
        char fromText[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, fromText, sizeof fromText);
        if (discovery.szDevAddr[0] != fromText) std::abort();
        if (discovery.szDevMac[0].size() != 17) std::abort();
        if (discovery.szDevName[0].size() > 32 * 4) std::abort();
    }
    return 0;
}
