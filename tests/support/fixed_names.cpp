#include "support/fixed_names.h"

#include "net/engine/host_resolver.h"

namespace testsupport {

void installFixedAnswers(const QList<QByteArray> &moreUnknownHosts)
{
    const asio::ip::address loopback = asio::ip::make_address("127.0.0.1");
    const asio::ip::address loopback6 = asio::ip::make_address("::1");
    std::map<std::string, HostResolver::FixedAnswer> answers{
        {kUnknownHost.toStdString(), {}},
        {kSlowHost.toStdString(), {{loopback}, kSlowLookup}},
        {kDualStackHost.toStdString(), {{loopback6, loopback}}}};
    for (const QByteArray &name : moreUnknownHosts)
        answers[name.toStdString()] = {};
    HostResolver::setFixedAnswers(std::move(answers));
}

void removeFixedAnswers()
{
    HostResolver::setFixedAnswers({});
}

} // namespace testsupport
