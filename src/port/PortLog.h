#pragma once
// Log lines of the port layer. A line never changes the caller's last error; an error or
// warning line shows the last error set just before it.
#include "log/Log.h"

void PortLogKeep(DWORD dwCategory, int nLine, const char* pszFormat, ...) noexcept KELVO_PRINTF(3, 4);

#define PORT_LOG(category, ...) PortLogKeep((category), __LINE__, __VA_ARGS__)
