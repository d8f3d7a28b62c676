#pragma once
// Finds the maker's USB printers among the usblp nodes: vendor ID KELVO_USB_VENDOR_ID with
// a product ID beginning with 01, named "USB%03u" as the USB driver resolves them, shown
// with the model of their IEEE 1284 device ID. It also keeps the names of the maker's
// printers it saw last, which the update engine compares with to find a printer that came
// back under another number after its restart.
#include <array>
#include <span>
#include <string>

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

private:
    WORD m_wVendorId;
};
