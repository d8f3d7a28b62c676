#pragma once
// The model a ZAQ printer names in its IEEE 1284 device ID. Pure: no I/O, no log.
#include <string>
#include <string_view>

// Longest model text kept.
inline constexpr std::size_t USB_MODEL_MAX = 127;

// True when the ID begins with "MFG:ZAQ;" (ignoring case) and has an "MDL:" field closed
// by ';' whose text is printable; *pModel then holds that text (at most USB_MODEL_MAX
// characters). Anything else is another maker's device (or one that did not say).
bool ParseMakerModel(std::string_view deviceId, std::string* pModel);
