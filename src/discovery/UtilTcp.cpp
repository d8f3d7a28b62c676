#include "discovery/UtilTcp.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"

namespace {

constexpr std::size_t kReplyBufferSize = 4109;
constexpr std::size_t kHeaderSize = 13;
constexpr unsigned char kCmdDiscovery = 0x88;
constexpr std::size_t kMacOffset = 29, kMacSize = 12;
constexpr std::size_t kAddrOffset = 41, kAddrSize = 16;
constexpr std::size_t kNameOffset = 57, kNameSize = 33;
constexpr std::size_t kMaxNameChars = 31;
constexpr std::size_t kFieldsEnd = kNameOffset + kNameSize;

// "ZAQ", 00, 00, C0, command 88, four zero bytes, length 115 little-endian.
constexpr unsigned char kQuery[kHeaderSize] = {0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, kCmdDiscovery,
                                               0x00, 0x00, 0x00, 0x00, 0x73, 0x00};

std::string FieldText(const unsigned char* p, std::size_t size) {
    std::size_t len = 0;
    while (len < size && p[len] != 0) ++len;
    return Utf8Sanitize(std::string_view(reinterpret_cast<const char*>(p), len));
}

char Printable(unsigned char c) { return (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?'; }

std::string MacText(const unsigned char* p) {
    std::string mac;
    for (std::size_t i = 0; i < kMacSize; ++i) {
        if (i > 0 && i % 2 == 0) mac += ':';
        mac += Printable(p[i]);
    }
    return mac;
}

int PrefixLength(const sockaddr* pMask) {
    if (pMask == nullptr || pMask->sa_family != AF_INET) return 32;
    std::uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(pMask)->sin_addr.s_addr);
    return __builtin_popcount(mask);
}

}  // namespace

std::optional<std::uint32_t> TypedPrinterAddress(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty() || text.size() >= INET_ADDRSTRLEN) return std::nullopt;
    const std::string copy(text);
    in_addr addr{};
    // inet_pton takes only the four-part dotted decimal form (no octal, no short forms).
    if (::inet_pton(AF_INET, copy.c_str(), &addr) != 1) return std::nullopt;
    const std::uint32_t host = ntohl(addr.s_addr);
    const std::uint32_t first = host >> 24;
    if (first == 0 || first >= 224) return std::nullopt;
    return host;
}

std::string DottedAddress(std::uint32_t addrHostOrder) {
    in_addr addr{};
    addr.s_addr = htonl(addrHostOrder);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

std::uint32_t DirectedBroadcast(std::uint32_t addrNetworkOrder, int nPrefix) {
    if (nPrefix <= 0) return htonl(INADDR_BROADCAST);
    std::uint32_t hostBits = nPrefix >= 32 ? 0u : (0xFFFFFFFFu >> nPrefix);
    return htonl(ntohl(addrNetworkOrder) | hostBits);
}

CUtilTcp::CUtilTcp() {
    bSuccessInit = m_hSyncOpt.Valid() ? TRUE : FALSE;
    if (bSuccessInit) {
        LogMessage(LOG_INFO, 'I', __LINE__, 0, "CUtilTcp");
    } else {
        LogMessage(LOG_ERROR, 'E', __LINE__, GetLastError(), "CUtilTcp [PARAMETER] [m_hSyncOpt:%08x]", 0u);
    }
}

CUtilTcp::~CUtilTcp() {
    LogMessage(LOG_INFO, 'I', __LINE__, 0, "~CUtilTcp Term()");
    // A search still running on another thread ends before the tables go.
    if (m_hSyncOpt.Valid()) WaitForEvent(m_hSyncOpt, INFINITE);
}

int CUtilTcp::EnumPorts(IPortList* pListBox, std::span<std::string> /*entries*/) {
    nDevices = 0;
    if (pListBox != nullptr) pListBox->Clear();
    DWORD cNew = 0;
    DWORD dwResult = GetOptPortDataUDP(&cNew);
    if (dwResult != 0) {
        LogMessage(LOG_ERROR, 'E', __LINE__, dwResult, "Lan::Cannot access interface device");
        return static_cast<int>(nDevices);
    }
    if (cNew == 0 || pListBox == nullptr) return static_cast<int>(nDevices);
    for (DWORD i = static_cast<DWORD>(pListBox->Count()); i < nDevices; ++i) {
        std::string line;
        FormatBounded(line, 511, "%s\t [\"%s\", %s]", szDevAddr[i].c_str(), szDevName[i].c_str(), szDevMac[i].c_str());
        pListBox->Append(line);
        LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Add lan device on list [%s]", line.c_str());
    }
    return static_cast<int>(nDevices);
}

DWORD CUtilTcp::GetBroadcastTargets(sockaddr_in* pTargets, DWORD* pcTargets) {
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0) {
        DWORD dwError = ErrnoToWinError(errno);
        *pcTargets = 0;
        return dwError;
    }
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(pList, ::freeifaddrs);
    DWORD cMax = *pcTargets, cTargets = 0;
    for (ifaddrs* p = pList; p != nullptr && cTargets < cMax; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET) continue;
        std::uint32_t addr = reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
        if ((ntohl(addr) >> 24) == 127) continue;
        int nPrefix = PrefixLength(p->ifa_netmask);
        if (nPrefix >= 32) {
            LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Illegal subnet width %d, ignored.\n", nPrefix);
            continue;
        }
        sockaddr_in& target = pTargets[cTargets++];
        std::memset(&target, 0, sizeof target);
        target.sin_family = AF_INET;
        target.sin_port = htons(kStatusPort);
        target.sin_addr.s_addr = DirectedBroadcast(addr, nPrefix);
        if (cTargets == cMax) LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Exceeds maximum count\n");
    }
    LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Number of Unicast Addresses(v4): %d\n", static_cast<int>(cTargets));
    *pcTargets = cTargets;
    return ERROR_SUCCESS;
}

// Checks one reply and keeps its printer. The port name is the address the reply came
// from: the printer answered from there, whatever its address field says (a printer
// behind NAT, or one that reports a stale address). Returns false once the table is full.
bool CUtilTcp::KeepReply(const unsigned char* pReply, std::size_t cbReply, const sockaddr_in& from) {
    if (cbReply < kHeaderSize || std::memcmp(pReply, "ZAQ", 4) != 0 || pReply[6] != kCmdDiscovery) return true;
    // A reply that ends inside the fields reads as zeros from there on, never past its end.
    unsigned char fields[kFieldsEnd] = {};
    std::memcpy(fields, pReply, std::min(cbReply, kFieldsEnd));
    pReply = fields;
    char fromText[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, fromText, sizeof fromText);
    const std::string addr = fromText;
    for (DWORD i = 0; i < nDevices; ++i) {
        if (szDevAddr[i] == addr) return true;
    }
    const std::string field = FieldText(pReply + kAddrOffset, kAddrSize);
    if (field != addr) {
        LogMessage(LOG_WARNING, 'W', __LINE__, 0, "GetOptPortDataUDP reply names [%s], listed under its sender [%s]",
                   field.c_str(), addr.c_str());
    }
    std::string name = FieldText(pReply + kNameOffset, kNameSize);
    szDevName[nDevices] = std::string(Utf8Prefix(name, kMaxNameChars));
    szDevAddr[nDevices] = addr;
    szDevMac[nDevices] = MacText(pReply + kMacOffset);
    LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "GetOptPortDataUDP Added [%s,%s]", szDevName[nDevices].c_str(), addr.c_str());
    if (++nDevices < kMaxDevices) return true;
    LogMessage(LOG_WARNING, 'W', __LINE__, 0, "GetOptPortDataUDP reaches max devices(%d)", kMaxDevices);
    return false;
}

void CUtilTcp::ListenForReplies(const int* pSockets, DWORD dwStart) {
    Deadline listen(dwStart, kListenMs);
    unsigned char reply[kReplyBufferSize];
    bool bKeeping = true;
    while (!listen.Expired()) {
        pollfd fds[kMaxTargets];
        for (DWORD i = 0; i < kMaxTargets; ++i) fds[i] = pollfd{pSockets[i], POLLIN, 0};
        if (::poll(fds, kMaxTargets, TimeoutToPoll(listen.Remaining())) <= 0) continue;
        for (DWORD i = 0; i < kMaxTargets; ++i) {
            if (pSockets[i] < 0 || (fds[i].revents & POLLIN) == 0) continue;
            // Every datagram is taken, even an empty one, so none stays queued to spin poll().
            std::memset(reply, 0, sizeof reply);
            sockaddr_in from{};
            socklen_t cbFrom = sizeof from;
            ssize_t cb = ::recvfrom(pSockets[i], reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &cbFrom);
            if (cb < 0 || !bKeeping) continue;
            bKeeping = KeepReply(reply, static_cast<std::size_t>(cb), from);
        }
    }
}

DWORD CUtilTcp::GetOptPortDataUDP(DWORD* pcNew) {
    WaitForEvent(m_hSyncOpt, INFINITE);
    nDevices = 0;
    sockaddr_in targets[kMaxTargets];
    DWORD cTargets = kMaxTargets;
    DWORD dwResult = GetBroadcastTargets(targets, &cTargets);
    if (dwResult == ERROR_SUCCESS) {
        UniqueFd sockets[kMaxTargets];
        int fds[kMaxTargets];
        for (DWORD i = 0; i < kMaxTargets; ++i) fds[i] = -1;
        DWORD dwStart = GetTickCount();
        for (DWORD i = 0; i < cTargets; ++i) {
            sockets[i].Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            if (!sockets[i]) continue;
            int on = 1;
            (void)::setsockopt(sockets[i].Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
            ssize_t cb = ::sendto(sockets[i].Get(), kQuery, sizeof kQuery, 0, reinterpret_cast<const sockaddr*>(&targets[i]),
                                  sizeof targets[i]);
            if (cb != static_cast<ssize_t>(sizeof kQuery)) {
                sockets[i].Reset();
                continue;
            }
            fds[i] = sockets[i].Get();
            LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "GetOptPortDataUDP sendto [dwIdx:%d,%dbyte]", static_cast<int>(i),
                       static_cast<int>(cb));
        }
        // With no query out, the search still takes its two seconds, as users expect.
        ListenForReplies(fds, dwStart);
    }
    *pcNew = nDevices;
    m_hSyncOpt.Set();
    return dwResult;
}
