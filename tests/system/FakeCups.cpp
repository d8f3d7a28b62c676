#include "FakeCups.h"

#include <arpa/inet.h>
#include <cups/cups.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "platform/Tick.h"

namespace {

constexpr DWORD kIoLimit = 10000;

struct Buffer {
    std::string data;
    std::size_t pos = 0;
};

ssize_t ReadFromBuffer(void* ctx, ipp_uchar_t* buf, size_t len) {
    auto* b = static_cast<Buffer*>(ctx);
    std::size_t n = std::min(len, b->data.size() - b->pos);
    std::memcpy(buf, b->data.data() + b->pos, n);
    b->pos += n;
    return static_cast<ssize_t>(n);
}

ssize_t WriteToBuffer(void* ctx, ipp_uchar_t* buf, size_t len) {
    static_cast<Buffer*>(ctx)->data.append(reinterpret_cast<const char*>(buf), len);
    return static_cast<ssize_t>(len);
}

// Reads until `text` holds `want` bytes (or, with want 0, the end of the headers).
bool ReadMore(int fd, std::string& text, std::size_t want, Event& stop) {
    Deadline deadline(kIoLimit);
    while (want == 0 ? text.find("\r\n\r\n") == std::string::npos : text.size() < want) {
        WaitItem items[] = {WaitItem::For(stop), WaitItem::ForFd(fd, POLLIN)};
        if (WaitForAny(items, deadline.Remaining()) != WAIT_OBJECT_0 + 1) return false;
        char chunk[4096];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

bool SendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string HeaderValue(const std::string& headers, const char* pszName) {
    std::size_t pos = 0;
    while ((pos = headers.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        std::size_t len = std::strlen(pszName);
        if (strncasecmp(headers.c_str() + pos, pszName, len) == 0 && headers[pos + len] == ':') {
            std::size_t start = headers.find_first_not_of(' ', pos + len + 1);
            return headers.substr(start, headers.find("\r\n", start) - start);
        }
    }
    return {};
}

}  // namespace

FakeCups::FakeCups(std::vector<std::string> deviceUris, bool bRefuseAll)
    : m_uris(std::move(deviceUris)), m_bRefuseAll(bRefuseAll) {
    m_listen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(m_listen.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen.Get(), 8) != 0 ||
        ::getsockname(m_listen.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return;
    ::setenv("CUPS_SERVER", ("127.0.0.1:" + std::to_string(ntohs(addr.sin_port))).c_str(), 1);
    m_thread = std::thread([this] { Serve(); });
}

FakeCups::~FakeCups() {
    m_stop.Set();
    if (m_thread.joinable()) m_thread.join();
    ::unsetenv("CUPS_SERVER");
}

void FakeCups::Serve() {
    while (true) {
        WaitItem items[] = {WaitItem::For(m_stop), WaitItem::ForFd(m_listen.Get(), POLLIN)};
        if (WaitForAny(items, INFINITE) != WAIT_OBJECT_0 + 1) return;
        UniqueFd conn(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (conn) Answer(conn.Get());
    }
}

void FakeCups::Answer(int fd) {
    std::string text;
    if (!ReadMore(fd, text, 0, m_stop)) return;
    std::size_t bodyStart = text.find("\r\n\r\n") + 4;
    std::string headers = text.substr(0, bodyStart);
    if (strcasecmp(HeaderValue(headers, "Expect").c_str(), "100-continue") == 0 &&
        !SendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n"))
        return;
    std::size_t length = std::strtoul(HeaderValue(headers, "Content-Length").c_str(), nullptr, 10);
    if (!ReadMore(fd, text, bodyStart + length, m_stop)) return;

    if (m_bRefuseAll) {
        ++m_nRefused;
        SendAll(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    Buffer in{text.substr(bodyStart, length)};
    ipp_t* pRequest = ippNew();
    if (ippReadIO(&in, ReadFromBuffer, 1, nullptr, pRequest) != IPP_STATE_DATA ||
        ippGetOperation(pRequest) != IPP_OP_CUPS_GET_PRINTERS) {
        ippDelete(pRequest);
        SendAll(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return;
    }
    ipp_t* pResponse = ippNewResponse(pRequest);
    ippDelete(pRequest);
    if (m_uris.empty()) ippSetStatusCode(pResponse, IPP_STATUS_ERROR_NOT_FOUND);
    int nQueue = 0;
    for (const std::string& uri : m_uris) {
        if (nQueue > 0) ippAddSeparator(pResponse);
        std::string name = "queue" + std::to_string(++nQueue);
        ippAddString(pResponse, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr, name.c_str());
        ippAddString(pResponse, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, uri.c_str());
    }
    Buffer out;
    ippSetState(pResponse, IPP_STATE_IDLE);
    ipp_state_t state = ippWriteIO(&out, WriteToBuffer, 1, nullptr, pResponse);
    ippDelete(pResponse);
    if (state != IPP_STATE_DATA) return;
    ++m_nRequests;
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " +
                    std::to_string(out.data.size()) + "\r\nConnection: close\r\n\r\n" + out.data);
}

ClosedCups::ClosedCups(bool bListen) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        (!bListen || ::listen(m_fd.Get(), 8) == 0) &&
        ::getsockname(m_fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        ::setenv("CUPS_SERVER", ("127.0.0.1:" + std::to_string(ntohs(addr.sin_port))).c_str(), 1);
}

ClosedCups::~ClosedCups() {
    ::unsetenv("CUPS_SERVER");
}
