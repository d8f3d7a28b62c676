#pragma once
// CUnknown: the driver of a port kind that has no driver. The port opens as an entry, every
// lock of it warns, and every use fails with ERROR_UNKNOWN_PORT.
#include "port/Legacy.h"

class CUnknown : public CLegacy {
public:
    // Sets the last error to ERROR_UNKNOWN_PORT; bSuccessInit stays 0.
    explicit CUnknown(const char* pszName) noexcept;
    ~CUnknown() override = default;

    // Warns "Unknown port." and reports TRUE, so that the entry can be made and locked.
    BOOL Init() override;
    // Each of these: FALSE with ERROR_UNKNOWN_PORT, without blocking.
    BOOL Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) override;
    BOOL Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) override;
    BOOL Reset() override;
    BOOL DevIo(DWORD dwIoControlCode, const void* pInBuffer, DWORD cbInBuffer, void* pOutBuffer, DWORD cbOutBuffer,
               DWORD* pcbReturned) override;
    BOOL Cancel() override;
    // Also logs the error "Unknown port name.".
    BOOL Open() override;
    // Nothing to close.
    void Close(BOOL bFlag) override;
    BOOL IsConnect() override;
};
