#include "net/http/request_head_check.h"

#include <QByteArrayView>
#include <asio/ip/address_v6.hpp>
#include <cstring>
#include <string>

#include "net/http/ascii.h"

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Every line ends in CR LF, and no NUL hides anywhere: a recipient that reads a lone CR or LF
// as a line end, or stops at a NUL, would see other header lines than the proxy.
bool hasCleanLineEnds(QByteArrayView block)
{
    for (qsizetype i = 0; i < block.size(); ++i) {
        const char c = block[i];
        if (c == '\0')
            return false;
        if (c == '\r' && (i + 1 == block.size() || block[i + 1] != '\n'))
            return false;
        if (c == '\n' && (i == 0 || block[i - 1] != '\r'))
            return false;
    }
    return true;
}

struct RequestLine {
    bool isValid = false;
    bool isBeforeHttp11 = false;
    bool isHttp1 = false; // HTTP/1.0 or HTTP/1.1, the versions the proxy reads
};

// "method SP target SP HTTP/d.d", nothing more and nothing less.
RequestLine readRequestLine(QByteArrayView line)
{
    RequestLine result;
    const qsizetype firstBlank = line.indexOf(' ');
    const qsizetype lastBlank = line.lastIndexOf(' ');
    if (firstBlank <= 0 || lastBlank <= firstBlank + 1)
        return result;
    if (!isToken(line.first(firstBlank)))
        return result;
    for (const char c : line.sliced(firstBlank + 1, lastBlank - firstBlank - 1)) {
        if (uchar(c) <= 0x20 || c == 0x7f)
            return result;
    }
    const QByteArrayView version = line.sliced(lastBlank + 1);
    if (version.size() != 8 || !version.startsWith("HTTP/") || !isDigit(version[5]) ||
        version[6] != '.' || !isDigit(version[7]))
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
        if (!isLetter(c) && !isDigit(c) && c != '-' && c != '_' && c != '.')
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
        if (!isDigit(c) && (c == '\0' || !std::strchr("abcdefABCDEF:.", c)))
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
    value = trimBlanksAndTabs(value);
    const qsizetype hostEnd = value.startsWith('[') ? value.indexOf(']') + 1 : value.indexOf(':');
    const QByteArrayView host = hostEnd <= 0 ? value : value.first(hostEnd);
    const QByteArrayView rest = hostEnd <= 0 ? QByteArrayView() : value.sliced(hostEnd);
    if (!isHostName(host) && !isIpv6Literal(host))
        return false;
    if (rest.isEmpty())
        return true;
    if (rest.size() < 2 || rest.front() != ':')
        return false;
    for (const char c : rest.sliced(1)) {
        if (!isDigit(c))
            return false;
    }
    return true;
}

} // namespace

RequestHeadFault requestHeadFault(const QByteArray &block)
{
    if (!hasCleanLineEnds(block))
        return RequestHeadFault::LineEnd;
    const QByteArrayView head(block);
    const qsizetype requestLineEnd = head.indexOf("\r\n");
    const RequestLine requestLine =
        readRequestLine(requestLineEnd < 0 ? head : head.first(requestLineEnd));
    if (!requestLine.isValid)
        return RequestHeadFault::RequestLine;
    if (!requestLine.isHttp1)
        return RequestHeadFault::Version;

    int hostLines = 0;
    for (qsizetype start = requestLineEnd; start >= 0;) {
        start += 2;
        const qsizetype end = head.indexOf("\r\n", start);
        const QByteArrayView line = head.sliced(start, (end < 0 ? head.size() : end) - start);
        start = end;
        if (!line.isEmpty() && isBlankOrTab(line.front()))
            return RequestHeadFault::ObsoleteFolding;
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            return RequestHeadFault::HeaderName;
        const QByteArrayView name = line.first(colon);
        if (!name.isEmpty() && isBlankOrTab(name.back()))
            return RequestHeadFault::BlankBeforeColon;
        if (!isToken(name))
            return RequestHeadFault::HeaderName;
        if (requestLine.isBeforeHttp11 && equalsIgnoringAsciiCase(name, "transfer-encoding"))
            return RequestHeadFault::TransferEncodingBeforeHttp11;
        if (equalsIgnoringAsciiCase(name, "host")) {
            if (++hostLines > 1)
                return RequestHeadFault::DuplicateHost;
            if (!isHostValue(line.sliced(colon + 1)))
                return RequestHeadFault::HostValue;
        }
    }
    return RequestHeadFault::None;
}
