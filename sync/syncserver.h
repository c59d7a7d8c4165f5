#pragma once

#include "sync/httprequest.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// The HTTP/1.1 service through which phones pull and push: one request per connection, JSON answers.
class SyncServer : public QObject
{
    Q_OBJECT

public:
    explicit SyncServer(QObject *parent = nullptr);
    ~SyncServer() override;

    bool start(quint16 port);
    void stop();

    // Routes one complete request and answers it; the body is consumed.
    void handleRequest(QTcpSocket *socket, HttpRequest request);
    bool checkKey(const HttpRequest &request) const;

    QTcpServer *listener = nullptr;
    bool running = false;
    quint16 port = 9527;
    QString key;
    QString deviceName = QStringLiteral("电脑主库");
    // A connection that neither receives nor sends anything for this long is dropped.
    int idleTimeoutMs = 30000;
    // While set, every request but "/ping" is answered 503 with this reason: the database is being replaced.
    QString refusal;

Q_SIGNALS:
    void activity(const QString &peer, const QString &action, const QString &detail);
    void logMessage(const QString &msg);

public Q_SLOTS:
    void onNewConnection();

private:
    void onReadyRead(QTcpSocket *socket);
    void releaseBuffer(QTcpSocket *socket);
    void releaseConnections();
    void reject(QTcpSocket *socket, int status, const QString &error);
    void sendJson(QTcpSocket *socket, int status, const QJsonObject &object);
    void writeResponse(QTcpSocket *socket, int status, const QByteArray &body, const QString &contentType);
};
