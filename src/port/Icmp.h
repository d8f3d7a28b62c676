#pragma once
// One ICMP echo at a time: a ping socket where the system allows it, else a raw socket.
#include <netinet/in.h>

#include <cstddef>

#include "platform/Types.h"
#include "platform/UniqueFd.h"

class CIcmpEcho {
public:
    CIcmpEcho() noexcept;
    CIcmpEcho(const CIcmpEcho&) = delete;
    CIcmpEcho& operator=(const CIcmpEcho&) = delete;

    bool Valid() const noexcept { return m_fd.Valid(); }

    // Sends one echo request carrying the payload and waits up to dwTimeout ms for its
    // reply. TRUE when the reply came, with *pcbData the size of its data; FALSE with the
    // last error otherwise (ERROR_TIMEOUT when nothing came back in time).
    BOOL Echo(in_addr addr, const void* pPayload, std::size_t cbPayload, DWORD dwTimeout, DWORD* pcbData) noexcept;

private:
    bool IsOurReply(const unsigned char* p, std::size_t cb, const sockaddr_in& from, in_addr addr) const noexcept;

    UniqueFd m_fd;
    bool m_bRaw = false;
    std::uint16_t m_wId = 0;
    std::uint16_t m_wSeq = 0;
};
