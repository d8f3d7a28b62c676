#pragma once
// Owners for sd-bus objects, so that no path leaks an error, a message or a slot.
#include <systemd/sd-bus.h>

struct BusError {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&e); }
};

struct BusMessage {
    sd_bus_message* p = nullptr;
    BusMessage() = default;
    BusMessage(const BusMessage&) = delete;
    BusMessage& operator=(const BusMessage&) = delete;
    ~BusMessage() { sd_bus_message_unref(p); }
};

struct BusSlot {
    sd_bus_slot* p = nullptr;
    BusSlot() = default;
    BusSlot(const BusSlot&) = delete;
    BusSlot& operator=(const BusSlot&) = delete;
    ~BusSlot() { sd_bus_slot_unref(p); }
};
