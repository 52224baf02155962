#pragma once

#include <QByteArray>
#include <QtGlobal>

// The record of one connection slot. Every text field carries socket bytes, one character per
// byte. ResetProx clears every field but intPort, which rewriting sets together with strHost.
struct ProxyConnection {
    QByteArray strHeader; // request line and header lines, without the closing CR LF CR LF
    QByteArray strBody;   // body received so far (while the header block is still
                          // incomplete: everything received for the request)
    qint32 lngContentLength = 0;
    bool isReceivingBody = false;  // a request has begun and is not complete yet
    QByteArray strRequest;         // the rewritten request to send upstream
    QByteArray strHost;            // upstream host, without a port
    int intPort = 0;               // upstream port, 1 to 65535
    bool isSendComplete = false;   // everything handed to the browser has been sent
    bool isHeaderComplete = false; // the CR LF CR LF of the current request has arrived
    bool isTunnel = false;         // a CONNECT request made this slot a tunnel (or tried to)
    bool isTunnelOpen = false;     // the browser has been told the tunnel is established
    bool isRefused = false; // the request was refused; further bytes from the browser are dropped
};
