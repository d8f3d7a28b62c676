#pragma once
// Finds printers on the local IPv4 networks by a UDP broadcast query to their status port.
#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/UtilPort.h"
#include "platform/Event.h"
#include "platform/Types.h"

class CUtilTcp : public CUtilPort {
public:
    static constexpr int kMaxDevices = 32;
    static constexpr DWORD kMaxTargets = 10;
    static constexpr std::uint16_t kStatusPort = 26100;
    static constexpr DWORD kListenMs = 2000;

    CUtilTcp();
    ~CUtilTcp() override;
    CUtilTcp(const CUtilTcp&) = delete;
    CUtilTcp& operator=(const CUtilTcp&) = delete;

    int EnumPorts(IPortList* pListBox, std::span<std::string> entries) override;

    // One search: queries every target and keeps the valid replies of the next two
    // seconds. Returns 0 when the local addresses could be listed, else their error.
    DWORD GetOptPortDataUDP(DWORD* pcNew);
    // Directed broadcast targets of the local IPv4 networks, at most *pcTargets (10).
    DWORD GetBroadcastTargets(sockaddr_in* pTargets, DWORD* pcTargets);

    BOOL bSuccessInit = FALSE;
    DWORD nDevices = 0;
    std::array<std::string, kMaxDevices> szDevName;
    std::array<std::string, kMaxDevices> szDevAddr;
    std::array<std::string, kMaxDevices> szDevMac;

    // Checks one reply that came from the address and keeps its printer in the tables.
    // False once they are full.
    bool KeepReply(const unsigned char* pReply, std::size_t cbReply, const sockaddr_in& from);

private:
    void ListenForReplies(const int* pSockets, DWORD dwStart);

    Event m_hSyncOpt{false, true};
};

// A printer address a user typed in place of a discovered one: four decimal numbers
// 0..255 with dots, blanks around them ignored; not 0.x.x.x, a multicast or reserved
// address, or the broadcast address. The address in host order, or nothing.
std::optional<std::uint32_t> TypedPrinterAddress(std::string_view text);
// The dotted text of an address in host order.
std::string DottedAddress(std::uint32_t addrHostOrder);

// The directed broadcast address (network order) of an address with the given prefix.
std::uint32_t DirectedBroadcast(std::uint32_t addrNetworkOrder, int nPrefix);
