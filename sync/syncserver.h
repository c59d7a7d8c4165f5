#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// One parsed HTTP request.
struct HttpRequest
{
    QString method;
    QString path;
    QJsonObject headers;
    QByteArray body;
};

// The HTTP/1.1 service through which phones pull and push: one request per connection, JSON answers.
class SyncServer : public QObject
{
    Q_OBJECT

public:
    explicit SyncServer(QObject *parent = nullptr);

    bool start(quint16 port);
    void stop();

    QTcpServer *listener = nullptr;
    bool running = false;
    quint16 port = 9527;
    QString key;
    QString deviceName = QStringLiteral("电脑主库");

Q_SIGNALS:
    void activity(const QString &peer, const QString &action, const QString &detail);
    void logMessage(const QString &msg);

public Q_SLOTS:
    void onNewConnection();
};
