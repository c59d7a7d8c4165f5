#include "sync/localaddress.h"

#include <QRegularExpression>

namespace {

bool isPrivateLanAddress(const QString &address)
{
    if (address.startsWith(QLatin1String("192.168.")) || address.startsWith(QLatin1String("10.")))
        return true;
    if (!address.startsWith(QLatin1String("172.")))
        return false;
    bool ok = false;
    const int second = address.section(QLatin1Char('.'), 1, 1).toInt(&ok, 10);
    return ok && second >= 16 && second <= 31;
}

} // namespace

bool isVirtualInterfaceName(const QString &name)
{
    // Unanchored on purpose: "tun" or "tap" inside a longer adapter name still marks it virtual.
    static const QRegularExpression pattern(
        QStringLiteral(
            "virtual|vmware|vbox|virtualbox|hyper-v|vethernet|loopback|bluetooth|docker|wsl|tap|tun|zerotier|tailscale|"
            "host-only|vpn|wireguard"),
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(name).hasMatch();
}

QStringList localIPv4Addresses(const QList<InterfaceEntry> &interfaces)
{
    QStringList physical;
    QStringList others;
    for (const InterfaceEntry &entry : interfaces) {
        if (entry.flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        // Windows names a VPN adapter "以太网 3" as readily as a real one; its kind gives it away.
        if (entry.type == QNetworkInterface::Virtual)
            continue;
        if (isVirtualInterfaceName(entry.humanReadableName) || isVirtualInterfaceName(entry.name))
            continue;
        const bool wired = entry.type == QNetworkInterface::Ethernet || entry.type == QNetworkInterface::Wifi;
        for (const QHostAddress &address : entry.addresses) {
            if (address.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            const QString text = address.toString();
            if (text.startsWith(QLatin1String("169.254.")))
                continue;
            (wired ? physical : others).append(text);
        }
    }
    return physical + others;
}

QStringList localIPv4Addresses()
{
    QList<InterfaceEntry> entries;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        InterfaceEntry entry{iface.name(), iface.humanReadableName(), iface.flags(), {}, iface.type()};
        const QList<QNetworkAddressEntry> addressEntries = iface.addressEntries();
        for (const QNetworkAddressEntry &addressEntry : addressEntries)
            entry.addresses.append(addressEntry.ip());
        entries.append(entry);
    }
    return localIPv4Addresses(entries);
}

QString preferredLanAddress(const QStringList &addresses)
{
    for (const QString &address : addresses) {
        if (isPrivateLanAddress(address))
            return address;
    }
    return addresses.isEmpty() ? QStringLiteral("127.0.0.1") : addresses.first();
}

QString preferredLanAddress()
{
    return preferredLanAddress(localIPv4Addresses());
}
