#pragma once
// A small LAN host for the simulator's tests, written from the wire contract: raw bytes
// on the data channel, 13-byte requests on the status channel, a discovery datagram.
#include <string>
#include <vector>

#include "platform/Types.h"
#include "platform/UniqueFd.h"

namespace simtest {

using Bytes = std::vector<BYTE>;

// Connects (blocking, loopback). Invalid fd and *pErrno on failure.
UniqueFd ConnectTcp(const std::string& address, WORD port, int* pErrno = nullptr);
bool SendAll(int fd, const Bytes& data);
// Reads exactly cb bytes within dwTimeout; false on end, error or timeout.
bool RecvExact(int fd, std::size_t cb, Bytes* pOut, DWORD dwTimeout);
// Waits for the peer to end the connection (0 or an error from recv), dropping any data.
bool WaitClosed(int fd, DWORD dwTimeout);

// One status exchange on a fresh connection: request (cmd, counter, size), the 13-byte
// reply header and its data.
bool StatusExchange(const std::string& address, WORD port, BYTE cmd, WORD counter, WORD size, Bytes* pHeader,
                    Bytes* pData);

Bytes StdCommand(BYTE fn);
Bytes ExtCommand(BYTE fn);
Bytes Header20(BYTE a, BYTE b);

}  // namespace simtest
