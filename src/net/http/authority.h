#pragma once

#include <QByteArrayView>

// A Host value cut into its host and the text of its port, the one way every reader of a head
// cuts it. A bracketed IPv6 literal keeps its brackets and takes a port only from a colon right
// after the "]"; otherwise the port follows the last colon.
struct Authority {
    QByteArrayView host;
    bool hasPort = false;
    QByteArrayView portText; // after the colon, as written; may be empty
};

// False when a "[" is never closed (host is then the whole text) or something other than a
// colon follows the "]" (host is then the bracketed part).
bool splitAuthority(QByteArrayView text, Authority &authority);
