#pragma once

#include <QHostAddress>
#include <QList>
#include <QNetworkInterface>
#include <QString>
#include <QStringList>

// What the address choice needs to know of one network adapter, so that it can run on any list.
struct InterfaceEntry
{
    QString name;
    QString humanReadableName;
    QNetworkInterface::InterfaceFlags flags;
    QList<QHostAddress> addresses;
    QNetworkInterface::InterfaceType type = QNetworkInterface::Unknown;
};

// Whether the adapter name looks like a virtual machine, container, VPN, Bluetooth or loopback adapter.
bool isVirtualInterfaceName(const QString &name);

// The usable IPv4 addresses of the given adapters: those of Wi-Fi and Ethernet adapters first, then the
// others, each in their order.
QStringList localIPv4Addresses(const QList<InterfaceEntry> &interfaces);
// The same for the machine's adapters.
QStringList localIPv4Addresses();

// The first private LAN address of the list, else its first address, else "127.0.0.1".
QString preferredLanAddress(const QStringList &addresses);
// The address of this machine to offer to phones; never empty.
QString preferredLanAddress();
