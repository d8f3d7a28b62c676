#pragma once
// The print queues of CUPS and the ports they print to. The server is the one libcups
// would use: CUPS_SERVER when set, else client.conf, else the local socket.
#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"

// Whether a queue's device URI prints to the port named pszPortName:
// - a dotted IPv4 address (LAN): "socket://", "lpd://" or "ipp://" URIs whose host is
//   that address (the whole host, so 192.168.0.1 does not match 192.168.0.10);
// - "USB" and a number: any "usb://ZAQ/" URI (which usblp node a queue uses is not in
//   its URI);
// - any other name is a tty device name (one trailing colon ignored): "serial:/dev/"
//   URIs whose device name begins with the port name, without regard to ASCII case, so
//   ttyS1 also matches a queue on ttyS10. Over-matching only stops the spooler once too
//   often, which is the safe side.
bool PrinterUriUsesPort(std::string_view uri, std::string_view portName) noexcept;

// Asks the CUPS server for the device URIs of all its queues. Blocks for at most
// dwTimeout ms to connect and as long again for the answer, plus the second libcups
// waits for a "100 Continue" from a server that does not send one. FALSE with
// RPC_S_SERVER_UNAVAILABLE when no server answers (ERROR_NOT_ENOUGH_MEMORY when the
// request cannot be built).
BOOL EnumPrinterDeviceUris(std::vector<std::string>* pUris, DWORD dwTimeout) noexcept;

// TRUE when the CUPS server takes a connection and answers a request, whatever the
// answer; FALSE with RPC_S_SERVER_UNAVAILABLE otherwise. Same time bounds as above.
BOOL CupsServerAnswers(DWORD dwTimeout) noexcept;

// The server the calls above talk to ("localhost:631", "/run/cups/cups.sock", ...).
std::string CupsServerName();
