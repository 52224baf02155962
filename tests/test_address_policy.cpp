// Which addresses a request may have the proxy connect to.
#include <QTest>

#include <algorithm>

#include "net/engine/socket_platform.h"
#include "net/rules/address_policy.h"

namespace {

asio::ip::address addressOf(const QString &text)
{
    return asio::ip::make_address(text.toStdString());
}

std::vector<asio::ip::address> addressesOf(const QStringList &texts)
{
    std::vector<asio::ip::address> addresses;
    for (const QString &text : texts)
        addresses.push_back(addressOf(text));
    return addresses;
}

// An interface address of this machine, as the engine would have read it.
const QStringList kLocal = {"192.168.1.10", "2001:db8::10"};

} // namespace

class TestAddressPolicy : public QObject {
    Q_OBJECT
private slots:
    void namesThisProxy_data();
    void namesThisProxy();
    void mayReachThisMachine_data();
    void mayReachThisMachine();
    void interfaceAddressesHoldLoopback();
};

void TestAddressPolicy::namesThisProxy_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("isThisProxy");

    // The proxy listens on 8080.
    const auto row = [](const char *name, const char *target, int port, bool isThisProxy) {
        QTest::newRow(name) << QString::fromLatin1(target) << port << isThisProxy;
    };
    row("127.0.0.1", "127.0.0.1", 8080, true);
    row("elsewhere in 127.0.0.0/8", "127.1.2.3", 8080, true);
    row("::1", "::1", 8080, true);
    row("0.0.0.0", "0.0.0.0", 8080, true);
    row("::", "::", 8080, true);
    row("IPv4-mapped loopback", "::ffff:127.0.0.1", 8080, true);
    row("interface address", "192.168.1.10", 8080, true);
    row("IPv6 interface address", "2001:db8::10", 8080, true);
    row("IPv4-mapped interface address", "::ffff:192.168.1.10", 8080, true);
    row("loopback at another port", "127.0.0.1", 80, false);
    row("interface address at another port", "192.168.1.10", 8081, false);
    row("another computer at the same port", "192.168.1.11", 8080, false);
    row("IPv6 address of another computer", "2001:db8::11", 8080, false);
    row("IPv4-compatible is not mapped", "::127.0.0.1", 8080, false);
}

void TestAddressPolicy::namesThisProxy()
{
    QFETCH(QString, target);
    QFETCH(int, port);
    QFETCH(bool, isThisProxy);
    QCOMPARE(::namesThisProxy(addressOf(target), quint16(port), 8080, addressesOf(kLocal)),
             isThisProxy);
}

void TestAddressPolicy::mayReachThisMachine_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("mayReach");

    const auto row = [](const char *name, const char *client, const char *target, bool mayReach) {
        QTest::newRow(name) << QString::fromLatin1(client) << QString::fromLatin1(target)
                            << mayReach;
    };
    const char *lan = "192.168.1.20";
    row("loopback client to loopback", "127.0.0.1", "127.0.0.1", true);
    row("loopback client to an interface address", "127.0.0.1", "192.168.1.10", true);
    row("::1 client to ::", "::1", "::", true);
    row("other 127 client to 0.0.0.0", "127.0.0.2", "0.0.0.0", true);
    row("mapped loopback client to ::1", "::ffff:127.0.0.1", "::1", true);
    row("LAN client to another computer", lan, "192.168.1.30", true);
    row("LAN client to a public address", lan, "203.0.113.5", true);
    row("LAN client to IPv6 of another computer", lan, "2001:db8::11", true);
    row("LAN client to 127.0.0.1", lan, "127.0.0.1", false);
    row("LAN client to elsewhere in 127.0.0.0/8", lan, "127.0.1.1", false);
    row("LAN client to ::1", lan, "::1", false);
    row("LAN client to 0.0.0.0", lan, "0.0.0.0", false);
    row("LAN client to ::", lan, "::", false);
    row("LAN client to mapped loopback", lan, "::ffff:127.0.0.1", false);
    row("LAN client to an interface address", lan, "192.168.1.10", false);
    row("LAN client to a mapped interface address", lan, "::ffff:192.168.1.10", false);
    row("LAN client to an IPv6 interface address", lan, "2001:db8::10", false);
    row("mapped LAN client to loopback", "::ffff:192.168.1.20", "127.0.0.1", false);
    row("this machine's interface address as client", "192.168.1.10", "127.0.0.1", false);
}

void TestAddressPolicy::mayReachThisMachine()
{
    QFETCH(QString, client);
    QFETCH(QString, target);
    QFETCH(bool, mayReach);
    QCOMPARE(::mayReachThisMachine(addressOf(client), addressOf(target), addressesOf(kLocal)),
             mayReach);
}

// The system's list is read as the addresses it holds: the loopback interface is there, in
// the right byte order.
void TestAddressPolicy::interfaceAddressesHoldLoopback()
{
#ifdef Q_OS_LINUX
    const std::vector<asio::ip::address> addresses = interfaceAddresses();
    QVERIFY(std::find(addresses.begin(), addresses.end(), addressOf("127.0.0.1")) !=
            addresses.end());
#else
    QSKIP("the loopback interface's address is known on Linux");
#endif
}

QTEST_APPLESS_MAIN(TestAddressPolicy)
#include "test_address_policy.moc"
