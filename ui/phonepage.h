#pragma once

#include <QWidget>

class QFrame;
class QJsonObject;
class QLabel;

// Two QR codes that carry host, port and sync key for the phone app: one with this computer's LAN
// address, one with the public address. Shows what the settings say, whether or not the service runs.
class PhonePage : public QWidget
{
    Q_OBJECT

public:
    explicit PhonePage(QWidget *parent = nullptr);

    // Draws both codes and the hints again from the settings and the current network interfaces.
    void refresh(const QJsonObject &config, bool serviceRunning);
    // What to allow in the firewall, for when a phone cannot connect.
    static QString firewallHint();

    QLabel *lanCode() const { return lanQrLabel; }
    QLabel *wanCode() const { return wanQrLabel; }
    QLabel *lanAddress() const { return lanAddressLabel; }
    QLabel *wanAddress() const { return wanAddressLabel; }
    QLabel *hint() const { return phoneHintLabel; }
    QLabel *serviceStoppedNote() const { return serviceStoppedLabel; }

private:
    QFrame *makeQrCard(const QString &title, const QString &hint, QLabel **codeLabel, QLabel **addressLabel);
    void showQrCard(QLabel *codeLabel, QLabel *addressLabel, const QString &host, int port, const QString &key,
                    const QString &placeholder);

    QLabel *lanQrLabel = nullptr;
    QLabel *wanQrLabel = nullptr;
    QLabel *lanAddressLabel = nullptr;
    QLabel *wanAddressLabel = nullptr;
    QLabel *phoneHintLabel = nullptr;
    QLabel *serviceStoppedLabel = nullptr;
};
