#include "port/Com.h"
#include "port/Bluetooth.h"
#include "port/Globals.h"
#include "port/Lan2.h"
#include "port/Usb.h"

// The drivers built into the program, one line per port kind. A kind that is not listed
// opens as CUnknown.
void RegisterBuiltinPortKinds() noexcept {
    RegisterPortKind(PORT_KIND_LAN, MakeLanPort);
    RegisterPortKind(PORT_KIND_USB, MakeUsbPort);
    RegisterPortKind(PORT_KIND_COM, MakeComPort);
    RegisterPortKind(PORT_KIND_BLUETOOTH, MakeBluetoothPort);
}
