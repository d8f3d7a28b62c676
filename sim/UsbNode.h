#pragma once
// A USB printer node as usblp publishes it, made from a pty inside a system-root tree:
//   dev/usb/lpN                     -> the pty's slave (what the host opens)
//   sys/class/usbmisc/lpN           -> sys/devices/kelvo-sim/usb1/C/C:1.0/usbmisc/lpN
//   .../usbmisc/lpN/device          -> the interface C:1.0 (ieee1284_id)
//   .../usbmisc/lpN/device/..       -> the device C (idVendor, idProduct, serial, busnum,
//                                      devnum), C being its port chain ("1-1.2")
// The printer's side is the pty's master. Withdrawing removes every entry and closes the
// master, so a host still holding the slave sees EIO, as after an unplug.
#include <string>

#include "platform/Types.h"
#include "platform/UniqueFd.h"

namespace sim {

struct UsbIdentity {
    WORD wVendor = KELVO_USB_VENDOR_ID;
    WORD wProduct = 0x0101;
    std::string szDeviceId = "MFG:ZAQ;CMD:ZAQ;MDL:KV-80 Sim;CLS:PRINTER;";
    std::string szChain;   // the socket's port chain; empty: "1-1.(N + 1)" of the first lpN
    std::string szSerial;  // empty: none
    // Leave out these attributes (sysfs entries missing).
    bool bNoIds = false;
    bool bNoDeviceId = false;
};

class UsbNode {
public:
    UsbNode(std::string szRoot, unsigned nLp, UsbIdentity identity);
    ~UsbNode();  // withdraws
    UsbNode(const UsbNode&) = delete;
    UsbNode& operator=(const UsbNode&) = delete;

    // A new pty in raw mode under lpN. FALSE with the last error; nothing is left then.
    BOOL Publish();
    void Withdraw();
    bool Published() const { return m_master.Valid(); }
    // Moves the node to another number; takes effect at the next Publish.
    void SetLp(unsigned nLp) { m_nLp = nLp; }
    unsigned Lp() const { return m_nLp; }
    // The device number of the last enumeration (each Publish is one).
    unsigned DevNum() const { return m_nDevNum; }
    // The printer's end: non-blocking, readable when the host wrote.
    int Master() const { return m_master.Get(); }
    const std::string& Root() const { return m_szRoot; }

    // The lowest lpN at or above nFrom whose entries are free under root.
    static unsigned FreeLp(const std::string& szRoot, unsigned nFrom);

private:
    void RemoveEntries();

    std::string m_szRoot;
    unsigned m_nLp;
    UsbIdentity m_identity;
    UniqueFd m_master;
    UniqueFd m_slave;  // held so the master never reads EIO between host opens
    unsigned m_nDevNum = 0;
};

}  // namespace sim
