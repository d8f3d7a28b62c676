#pragma once
// How the printer meets the host. Every transport (LAN now; serial on a pty, USB on a pty
// with a sysfs tree and a Bluetooth stand-in socket beside it later) hands the host's
// bytes to the core and delivers the core's answers in its own way. The printer's one
// loop thread calls every operation with the loop lock held; none of them may block.
#include <poll.h>

#include <span>
#include <vector>

#include "platform/Types.h"

namespace sim {

class PrinterCore;
class Transcript;

class Transport {
public:
    virtual ~Transport() = default;
    virtual const char* Name() const = 0;
    // Creates and binds the endpoints. Called once before the loop starts. FALSE with the
    // last error; nothing is left open then.
    virtual BOOL Open() = 0;
    // Adds the descriptors to wait for now; may lower *pdwWait (ms) for a timer of its own.
    virtual void AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) = 0;
    // Serves the descriptors it added (same order) after the wait.
    virtual void Service(std::span<const pollfd> fds, DWORD now) = 0;
    // Ends the data links at once (the printer cut them).
    virtual void DropDataLinks(const char* pszReason) = 0;
    // Reachable: takes links again. Not reachable: drops every link and refuses new ones.
    // bRefuse (the fault) keeps a reachable printer refusing connections.
    virtual void SetReachable(bool bReachable, bool bRefuse) = 0;
    // Closes every endpoint; the transport is not used again.
    virtual void Close() = 0;
};

}  // namespace sim
