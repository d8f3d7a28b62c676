#include "system/Printers.h"

#include <arpa/inet.h>
#include <cups/cups.h>

#include <cctype>
#include <memory>

#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/WinError.h"

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && AsciiEqualNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsIpv4Address(std::string_view name) {
    std::string copy(name);
    in_addr addr{};
    return inet_pton(AF_INET, copy.c_str(), &addr) == 1;
}

bool IsUsbPortName(std::string_view name) noexcept {
    if (!StartsWithNoCase(name, "USB") || name.size() == 3) return false;
    for (char c : name.substr(3))
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// The host of "scheme://[user@]host[:port][/path]"; IPv6 hosts keep their brackets.
std::string_view UriHost(std::string_view rest) noexcept {
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    if (!authority.empty() && authority.front() == '[') return authority.substr(0, authority.find(']') + 1);
    return authority.substr(0, authority.find(':'));
}

bool LanUriUsesHost(std::string_view uri, std::string_view host) noexcept {
    for (std::string_view scheme : {"socket://", "lpd://", "ipp://"}) {
        if (StartsWithNoCase(uri, scheme)) return AsciiEqualNoCase(UriHost(uri.substr(scheme.size())), host);
    }
    return false;
}

bool SerialUriUsesDevice(std::string_view uri, std::string_view device) noexcept {
    constexpr std::string_view kPrefix = "serial:/dev/";
    if (device.empty() || !StartsWithNoCase(uri, kPrefix)) return false;
    return StartsWithNoCase(uri.substr(kPrefix.size()), device);
}

struct HttpDeleter {
    void operator()(http_t* p) const noexcept { httpClose(p); }
};
struct IppDeleter {
    void operator()(ipp_t* p) const noexcept { ippDelete(p); }
};
using HttpPtr = std::unique_ptr<http_t, HttpDeleter>;
using IppPtr = std::unique_ptr<ipp_t, IppDeleter>;

HttpPtr ConnectToServer(DWORD dwTimeout) noexcept {
    // Forget the server cached by an earlier call, so CUPS_SERVER is read afresh.
    cupsSetServer(nullptr);
    int msec = dwTimeout > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(dwTimeout);
    HttpPtr http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, msec, nullptr));
    if (http) httpSetTimeout(http.get(), dwTimeout / 1000.0, nullptr, nullptr);
    return http;
}

// One CUPS-Get-Printers request; null when no server answered.
IppPtr QueryPrinters(DWORD dwTimeout) noexcept {
    HttpPtr http = ConnectToServer(dwTimeout);
    if (!http) return nullptr;
    ipp_t* pRequest = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    if (pRequest == nullptr) return nullptr;
    static const char* const kAttributes[] = {"printer-name", "device-uri"};
    ippAddStrings(pRequest, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr, kAttributes);
    ippAddString(pRequest, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    return IppPtr(cupsDoRequest(http.get(), pRequest, "/"));  // takes pRequest
}

}  // namespace

bool PrinterUriUsesPort(std::string_view uri, std::string_view portName) noexcept {
    if (portName.empty()) return false;
    if (IsIpv4Address(portName)) return LanUriUsesHost(uri, portName);
    if (IsUsbPortName(portName)) return StartsWithNoCase(uri, "usb://ZAQ/");
    if (portName.back() == ':') portName.remove_suffix(1);
    return SerialUriUsesDevice(uri, portName);
}

BOOL EnumPrinterDeviceUris(std::vector<std::string>* pUris, DWORD dwTimeout) noexcept {
    pUris->clear();
    IppPtr response = QueryPrinters(dwTimeout);
    if (!response) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    // "not found" is how CUPS says it has no queues.
    for (ipp_attribute_t* pAttr = ippFindAttribute(response.get(), "device-uri", IPP_TAG_URI); pAttr != nullptr;
         pAttr = ippFindNextAttribute(response.get(), "device-uri", IPP_TAG_URI)) {
        const char* pszUri = ippGetString(pAttr, 0, nullptr);
        if (pszUri != nullptr) pUris->emplace_back(pszUri);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CupsServerAnswers(DWORD dwTimeout) noexcept {
    if (!QueryPrinters(dwTimeout)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

std::string CupsServerName() {
    cupsSetServer(nullptr);
    return cupsServer();
}
