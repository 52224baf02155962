#pragma once

#include <QByteArray>
#include <QList>
#include <chrono>

// Host names the tests answer themselves (HostResolver::setFixedAnswers), so that no test waits
// on this machine's resolver or depends on what it knows. The ".test" domain is reserved: no
// real resolver knows these names either.
namespace testsupport {

// Not found, at once.
inline const QByteArray kUnknownHost = "unknown-host.test";
// 127.0.0.1, answered only after kSlowLookup: a connection to it is still being made while the
// test does something else.
inline const QByteArray kSlowHost = "slow-lookup.test";
inline constexpr std::chrono::milliseconds kSlowLookup{2000};
// ::1 first, then 127.0.0.1: an origin listening on 127.0.0.1 only is reached on the second try.
inline const QByteArray kDualStackHost = "dual-stack.test";

// Installs the answers above, and "not found" for each of moreUnknownHosts; process-wide until
// removeFixedAnswers().
void installFixedAnswers(const QList<QByteArray> &moreUnknownHosts = {});
void removeFixedAnswers();

} // namespace testsupport
