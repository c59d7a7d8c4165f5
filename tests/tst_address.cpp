#include "sync/localaddress.h"
#include "testmain.h"

#include <QtTest>

namespace {

using Flags = QNetworkInterface::InterfaceFlags;

const Flags up = Flags(QNetworkInterface::IsUp) | QNetworkInterface::IsRunning;

InterfaceEntry adapter(const QString &name, const QString &human, const QStringList &addresses, Flags flags = up,
                       QNetworkInterface::InterfaceType type = QNetworkInterface::Unknown)
{
    InterfaceEntry entry{name, human, flags, {}, type};
    for (const QString &address : addresses)
        entry.addresses.append(QHostAddress(address));
    return entry;
}

} // namespace

Q_DECLARE_METATYPE(QList<InterfaceEntry>)

class AddressTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void virtualNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("isVirtual");

        QTest::newRow("ethernet") << "Ethernet" << false;
        QTest::newRow("wlan") << "WLAN" << false;
        QTest::newRow("linux ethernet") << "enp3s0" << false;
        QTest::newRow("vmware") << "VMware Network Adapter VMnet8" << true;
        QTest::newRow("hyper-v") << "vEthernet (Default Switch) Hyper-V" << true;
        QTest::newRow("wsl lower case") << "vethernet (wsl)" << true;
        QTest::newRow("docker") << "DOCKER0" << true;
        QTest::newRow("bluetooth") << "Bluetooth 网络连接" << true;
        QTest::newRow("virtualbox") << "VirtualBox Host-Only Ethernet Adapter" << true;
        QTest::newRow("tun inside a word") << "Fortune" << true;
        QTest::newRow("tap inside a word") << "Startap LAN" << true;
        QTest::newRow("tailscale") << "tailscale0" << true;
        QTest::newRow("zerotier") << "ZeroTier One" << true;
        QTest::newRow("hyper-v switch as Windows names it") << "vEthernet (Default Switch)" << true;
        QTest::newRow("vpn") << "Cisco AnyConnect VPN Virtual Miniport" << true;
        QTest::newRow("wireguard") << "WireGuard Tunnel" << true;
    }

    void virtualNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, isVirtual);
        QCOMPARE(isVirtualInterfaceName(name), isVirtual);
    }

    void addressChoice_data()
    {
        QTest::addColumn<QList<InterfaceEntry>>("interfaces");
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QString>("preferred");

        QTest::newRow("nothing at all") << QList<InterfaceEntry>{} << QStringList{} << "127.0.0.1";
        QTest::newRow("list order decides over range")
            << QList<InterfaceEntry>{adapter("wlan0", "WLAN", {"10.0.0.7"}),
                                     adapter("eth0", "以太网", {"192.168.1.20"})}
            << QStringList{"10.0.0.7", "192.168.1.20"} << "10.0.0.7";
        QTest::newRow("public address first, private later")
            << QList<InterfaceEntry>{adapter("eth0", "Ethernet", {"203.0.113.5"}),
                                     adapter("eth1", "Ethernet 2", {"192.168.0.9"})}
            << QStringList{"203.0.113.5", "192.168.0.9"} << "192.168.0.9";
        QTest::newRow("172.16 qualifies")
            << QList<InterfaceEntry>{adapter("eth0", "Ethernet", {"172.15.0.1", "172.16.0.5"})}
            << QStringList{"172.15.0.1", "172.16.0.5"} << "172.16.0.5";
        QTest::newRow("172.31 qualifies")
            << QList<InterfaceEntry>{adapter("eth0", "Ethernet", {"172.32.0.1", "172.31.255.1"})}
            << QStringList{"172.32.0.1", "172.31.255.1"} << "172.31.255.1";
        QTest::newRow("nothing private gives the first")
            << QList<InterfaceEntry>{adapter("eth0", "Ethernet", {"172.32.0.1"}), adapter("eth1", "E2", {"172.15.0.1"})}
            << QStringList{"172.32.0.1", "172.15.0.1"} << "172.32.0.1";
        QTest::newRow("link-local never listed")
            << QList<InterfaceEntry>{adapter("eth0", "Ethernet", {"169.254.10.3", "100.64.1.2"})}
            << QStringList{"100.64.1.2"} << "100.64.1.2";
        QTest::newRow("only link-local gives loopback")
            << QList<InterfaceEntry>{adapter("eth0", "Ethernet", {"169.254.10.3"})} << QStringList{} << "127.0.0.1";
        QTest::newRow("virtual human name skipped")
            << QList<InterfaceEntry>{adapter("{4D36E972}", "VMware Network Adapter VMnet1", {"192.168.56.1"}),
                                     adapter("{8A1F0C22}", "以太网", {"10.1.2.3"})}
            << QStringList{"10.1.2.3"} << "10.1.2.3";
        QTest::newRow("virtual system name skipped")
            << QList<InterfaceEntry>{adapter("docker0", "Bridge", {"172.17.0.1"}),
                                     adapter("eth0", "Ethernet", {"203.0.113.7"})}
            << QStringList{"203.0.113.7"} << "203.0.113.7";
        QTest::newRow("loopback flag skipped whatever the name")
            << QList<InterfaceEntry>{adapter("lo", "lo", {"127.0.0.1"}, up | QNetworkInterface::IsLoopBack),
                                     adapter("eth0", "Ethernet", {"192.168.3.3"})}
            << QStringList{"192.168.3.3"} << "192.168.3.3";
        QTest::newRow("IPv6 only contributes nothing")
            << QList<InterfaceEntry>{adapter("eth0", "Ethernet", {"fe80::1", "2001:db8::5"})} << QStringList{}
            << "127.0.0.1";
        QTest::newRow("down adapter still counts")
            << QList<InterfaceEntry>{adapter("eth0", "Ethernet", {"192.168.9.9"}, Flags())}
            << QStringList{"192.168.9.9"} << "192.168.9.9";
        QTest::newRow("several and duplicate addresses kept in order")
            << QList<InterfaceEntry>{adapter("eth0", "Ethernet", {"fe80::2", "198.51.100.1", "10.0.0.1"}),
                                     adapter("eth1", "Ethernet 2", {"10.0.0.1"})}
            << QStringList{"198.51.100.1", "10.0.0.1", "10.0.0.1"} << "10.0.0.1";
        QTest::newRow("Windows Hyper-V switch skipped")
            << QList<InterfaceEntry>{adapter("ethernet_32777", "vEthernet (Default Switch)", {"172.28.16.1"}, up,
                                             QNetworkInterface::Ethernet),
                                     adapter("wireless_32768", "WLAN", {"192.168.1.5"}, up, QNetworkInterface::Wifi)}
            << QStringList{"192.168.1.5"} << "192.168.1.5";
        QTest::newRow("VPN adapter known by its kind")
            << QList<InterfaceEntry>{adapter("ethernet_32780", "以太网 3", {"10.8.0.6"}, up,
                                             QNetworkInterface::Virtual),
                                     adapter("ethernet_32769", "以太网", {"192.168.0.12"}, up,
                                             QNetworkInterface::Ethernet)}
            << QStringList{"192.168.0.12"} << "192.168.0.12";
        QTest::newRow("Wi-Fi and Ethernet before other kinds")
            << QList<InterfaceEntry>{adapter("ppp_32768", "宽带连接", {"10.20.30.40"}, up, QNetworkInterface::Ppp),
                                     adapter("wireless_32768", "WLAN", {"192.168.1.5"}, up, QNetworkInterface::Wifi)}
            << QStringList{"192.168.1.5", "10.20.30.40"} << "192.168.1.5";
        QTest::newRow("only virtual adapters give loopback")
            << QList<InterfaceEntry>{adapter("tun0", "OpenVPN", {"10.8.0.2"}),
                                     adapter("wsl", "vEthernet (WSL)", {"172.20.0.1"})}
            << QStringList{} << "127.0.0.1";
    }

    void addressChoice()
    {
        QFETCH(QList<InterfaceEntry>, interfaces);
        QFETCH(QStringList, addresses);
        QFETCH(QString, preferred);

        const QStringList listed = localIPv4Addresses(interfaces);
        QCOMPARE(listed, addresses);
        QCOMPARE(preferredLanAddress(listed), preferred);
    }

    void malformed172NeverQualifies_data()
    {
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QString>("preferred");
        QTest::newRow("missing second part") << QStringList{"172.", "10.0.0.1"} << "10.0.0.1";
        QTest::newRow("second part not a number") << QStringList{"172.x.0.1", "192.168.1.1"} << "192.168.1.1";
    }

    void malformed172NeverQualifies()
    {
        QFETCH(QStringList, addresses);
        QFETCH(QString, preferred);
        QCOMPARE(preferredLanAddress(addresses), preferred);
    }

    void machineAddressesAreUsable()
    {
        const QStringList addresses = localIPv4Addresses();
        for (const QString &address : addresses) {
            QCOMPARE(QHostAddress(address).protocol(), QAbstractSocket::IPv4Protocol);
            QVERIFY(!address.startsWith(QLatin1String("169.254.")));
            QVERIFY(!QHostAddress(address).isLoopback());
        }
        const QString preferred = preferredLanAddress();
        QVERIFY(addresses.isEmpty() ? preferred == QLatin1String("127.0.0.1") : addresses.contains(preferred));
    }
};

TOVANIK_TEST_MAIN(AddressTest)
#include "tst_address.moc"
