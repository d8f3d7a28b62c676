#include "port/Unknown.h"

#include "platform/LastError.h"
#include "platform/WinError.h"
#include "port/PortLog.h"

namespace {

BOOL UnknownPort() noexcept {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
}

}  // namespace

CUnknown::CUnknown(const char* pszName) noexcept {
    try {
        pszPortName = pszName != nullptr ? pszName : "";
    } catch (...) {
        // An empty name still gives a usable placeholder.
    }
    SetLastError(ERROR_UNKNOWN_PORT);
}

BOOL CUnknown::Init() {
    PORT_LOG(LOG_WARNING, "[%s] Unknown port.", PortName());
    return TRUE;
}

BOOL CUnknown::Write(const BYTE*, DWORD, DWORD*, DWORD) { return UnknownPort(); }

BOOL CUnknown::Read(BYTE*, DWORD, DWORD*, DWORD) { return UnknownPort(); }

BOOL CUnknown::Reset() { return UnknownPort(); }

BOOL CUnknown::DevIo(DWORD, const void*, DWORD, void*, DWORD, DWORD*) { return UnknownPort(); }

BOOL CUnknown::Cancel() { return UnknownPort(); }

BOOL CUnknown::Open() {
    SetLastError(ERROR_UNKNOWN_PORT);
    PORT_LOG(LOG_ERROR, "[%s] Unknown port name.", PortName());
    return FALSE;
}

void CUnknown::Close(BOOL) {}

BOOL CUnknown::IsConnect() { return UnknownPort(); }
