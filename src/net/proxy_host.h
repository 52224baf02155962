#pragma once

#include <QString>

struct ProxyConnection;

// What the connection table needs from the window, without knowing it is a window: the
// connection limit as the user typed it, the place to show the connection counter, and the
// rewriting of a collected request under the header rules currently set.
class ProxyHost {
public:
    virtual ~ProxyHost() = default;
    virtual QString maxThreadsText() const = 0;
    virtual void showConnectionCount(const QString &caption) = 0;
    virtual bool RewriteRequest(ProxyConnection &record) = 0;
};
