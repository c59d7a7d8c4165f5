#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// Finds this computer's public IPv4 address: asks address-echo services in turn until one answers
// with an address that is not a private one.
class PublicAddressLookup : public QObject
{
    Q_OBJECT

public:
    explicit PublicAddressLookup(QObject *parent = nullptr);

    // The services asked, in order; tests point them at local servers.
    void setServices(const QList<QUrl> &urls);
    bool isBusy() const { return busy; }
    // Asks the first service; the caller makes sure no lookup is under way.
    void start();

Q_SIGNALS:
    // What each service answered, and that none did: finished lines for the program log.
    void logLine(const QString &line);
    // The lookup is over with this address.
    void found(const QString &address);

private:
    void tryService(int index);
    void onReply(QNetworkReply *reply, int index, const QUrl &url);
    void finish();

    QNetworkAccessManager *network = nullptr;
    bool busy = false;
    QList<QUrl> services;
};
