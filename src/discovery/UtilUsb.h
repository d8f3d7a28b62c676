#pragma once
// Finds the maker's USB printers among the usblp nodes: vendor ID KELVO_USB_VENDOR_ID with
// a product ID beginning with 01, named "USB%03u" as the USB driver resolves them, shown
// with the model of their IEEE 1284 device ID (the text sysfs cached at attach time; the
// driver's request only where sysfs has none, as usblp refuses a second open of a node a
// run holds). It also keeps the names of the maker's printers it saw last, with where
// each sits on the bus, so that the update engine finds its own printer again after the
// restart, under whatever number it came back.
#include <array>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "port/UsbIdentity.h"
#include "discovery/UtilPort.h"
#include "platform/Types.h"

class CUtilUsb : public CUtilPort {
public:
    static constexpr std::size_t kMaxNames = 256;

    explicit CUtilUsb(WORD wVendorId = KELVO_USB_VENDOR_ID) : m_wVendorId(wVendorId) {}

    // 0 at once, list untouched, when entries holds more than 256 slots. Otherwise the list,
    // entries and ppSeenNames are emptied and FindUsbPrinters fills all three.
    int EnumPorts(IPortList* pListBox, std::span<std::string> entries) override;

    // The enumeration. Every output may be absent (null or empty). Returns the number of
    // the maker's nodes (vendor and product), whether or not their device ID could be read;
    // ppPaths[i] (the node) and ppNames[i] (the port name, empty when the ID did not name
    // the maker) belong to the i-th counted node. Blocks for one open and one ID request
    // per node; never for a printer that does not answer.
    virtual int FindUsbPrinters(IPortList* pListBox, std::span<std::string> ppPaths, std::span<std::string> ppNames);

    // The maker's port names seen by the last list enumeration (empty slots: "").
    std::array<std::string, kMaxNames> ppSeenNames;

    // Where the printer of a port name sat on the bus at the last list enumeration (an
    // unknown identity when sysfs did not say, or the name was not seen).
    UsbIdentity SeenIdentity(const std::string& portName) const;
    // The identity of each name the last FindUsbPrinters call filled in ppNames.
    UsbIdentity FoundIdentity(const std::string& portName) const;
    // Replaces the list's record (names and identities) with the last search's.
    void KeepFound(std::array<std::string, kMaxNames> names);

protected:
    // For discoveries that script the search: what FindUsbPrinters found.
    void SetFound(const std::string& portName, const UsbIdentity& identity);

private:
    using IdentityList = std::vector<std::pair<std::string, UsbIdentity>>;
    static UsbIdentity Lookup(const IdentityList& list, const std::string& portName);

    WORD m_wVendorId;
    IdentityList m_found;  // the last FindUsbPrinters
    IdentityList m_seen;   // the last EnumPorts (or KeepFound)
};
