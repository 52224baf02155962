#pragma once

#include <QByteArray>
#include <QtGlobal>

// The record of one connection slot: the request in progress and the state of its exchange.
// Every text field carries socket bytes, one character per byte. A slot's record lives and ends
// with its session.
struct ProxyConnection {
    QByteArray strHeader;        // the current request's line and header lines, without CR LF CR LF
    QByteArray strBody;          // bytes sent after a CONNECT request before its tunnel was open
                                 // (a request's body is not kept: it goes upstream as it arrives)
    qint64 lngContentLength = 0; // the current request's Content-Length; 0 when it has none
    bool isReceivingBody = false; // the current request's body is still coming
    QByteArray strRequest;        // the rewritten request line and headers to send upstream
    QByteArray strHost;           // upstream host, without a port
    int intPort = 0;              // upstream port, 1 to 65535
    bool isSendComplete = false;  // everything handed to the browser has been sent
    bool isTunnel = false;        // a CONNECT request (or a 101 answer) made this slot a tunnel
    bool isTunnelOpen = false;    // bytes now pass both ways unchanged
    bool isRefused = false; // the request was refused; further bytes from the browser are dropped
    bool isResponsePending = false; // a request went upstream and its final response has not
                                    // been read whole yet
    bool hasResponseBytes = false;  // something of the current request's response was relayed
};
