#include "net/http/request_head_check.h"

#include <QByteArrayView>
#include <asio/ip/address_v6.hpp>
#include <cstring>
#include <string>

#include "net/http/ascii.h"
#include "net/http/authority.h"

namespace {

struct RequestLine {
    bool isValid = false;
    bool isBeforeHttp11 = false;
    bool isHttp1 = false; // HTTP/1.0 or HTTP/1.1, the versions the proxy reads
};

// "method SP target SP HTTP/d.d", nothing more and nothing less.
RequestLine readRequestLine(const RequestHead &head)
{
    RequestLine result;
    if (!head.isRequestLineTrimmed || !head.hasThreeParts || head.rawTarget.isEmpty() ||
        !isToken(head.method))
        return result;
    for (const char c : head.rawTarget) {
        if (uchar(c) <= 0x20 || c == 0x7f)
            return result;
    }
    const QByteArrayView version = head.version;
    if (version.size() != 8 || !version.startsWith("HTTP/") || !isAsciiDigit(version[5]) ||
        version[6] != '.' || !isAsciiDigit(version[7]))
        return result;
    result.isValid = true;
    result.isBeforeHttp11 = version[5] == '0' || (version[5] == '1' && version[7] == '0');
    result.isHttp1 = version == QByteArrayView("HTTP/1.0") || version == QByteArrayView("HTTP/1.1");
    return result;
}

bool isHostName(QByteArrayView host)
{
    if (host.isEmpty())
        return false;
    for (const char c : host) {
        if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '-' && c != '_' && c != '.')
            return false;
    }
    return true;
}

// "[...]" around an IPv6 address, without a zone.
bool isIpv6Literal(QByteArrayView host)
{
    if (host.size() < 3 || host.front() != '[' || host.back() != ']')
        return false;
    const QByteArrayView inside = host.sliced(1, host.size() - 2);
    for (const char c : inside) {
        if (!isAsciiDigit(c) && (c == '\0' || !std::strchr("abcdefABCDEF:.", c)))
            return false;
    }
    std::error_code error;
    asio::ip::make_address_v6(std::string(inside.data(), size_t(inside.size())), error);
    return !error;
}

// A host name or an address literal, then an optional ':' and port digits. Dotted IPv4
// literals are made of host name characters already.
bool isHostValue(QByteArrayView value)
{
    Authority authority;
    if (!splitAuthority(trimBlanksAndTabs(value), authority))
        return false;
    if (!isHostName(authority.host) && !isIpv6Literal(authority.host))
        return false;
    if (!authority.hasPort)
        return true;
    for (const char c : authority.portText) {
        if (!isAsciiDigit(c))
            return false;
    }
    return !authority.portText.isEmpty();
}

} // namespace

RequestHeadFault requestHeadFault(const RequestHead &head)
{
    if (!head.lines.hasCleanLineEnds())
        return RequestHeadFault::LineEnd;
    const RequestLine requestLine = readRequestLine(head);
    if (!requestLine.isValid)
        return RequestHeadFault::RequestLine;
    if (!requestLine.isHttp1)
        return RequestHeadFault::Version;

    int hostLines = 0;
    for (const HeaderLine &line : head.lines.headers()) {
        if (!line.text.isEmpty() && isBlankOrTab(line.text.front()))
            return RequestHeadFault::ObsoleteFolding;
        if (!line.hasColon)
            return RequestHeadFault::HeaderName;
        if (!line.name.isEmpty() && isBlankOrTab(line.name.back()))
            return RequestHeadFault::BlankBeforeColon;
        if (!isToken(line.name))
            return RequestHeadFault::HeaderName;
        if (requestLine.isBeforeHttp11 && equalsIgnoringAsciiCase(line.name, "transfer-encoding"))
            return RequestHeadFault::TransferEncodingBeforeHttp11;
        if (equalsIgnoringAsciiCase(line.name, "host")) {
            if (++hostLines > 1)
                return RequestHeadFault::DuplicateHost;
            if (!isHostValue(line.value))
                return RequestHeadFault::HostValue;
        }
    }
    return RequestHeadFault::None;
}
