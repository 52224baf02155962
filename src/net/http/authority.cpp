#include "net/http/authority.h"

bool splitAuthority(QByteArrayView text, Authority &authority)
{
    authority = Authority();
    if (text.startsWith('[')) {
        const qsizetype close = text.indexOf(']');
        if (close < 0) {
            authority.host = text;
            return false;
        }
        authority.host = text.first(close + 1);
        const QByteArrayView rest = text.sliced(close + 1);
        if (rest.isEmpty())
            return true;
        if (!rest.startsWith(':'))
            return false;
        authority.hasPort = true;
        authority.portText = rest.sliced(1);
        return true;
    }
    const qsizetype colon = text.lastIndexOf(':');
    if (colon < 0) {
        authority.host = text;
        return true;
    }
    authority.host = text.first(colon);
    authority.hasPort = true;
    authority.portText = text.sliced(colon + 1);
    return true;
}
