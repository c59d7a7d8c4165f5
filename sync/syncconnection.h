#pragma once

#include "sync/httprequest.h"

#include <QBasicTimer>
#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <optional>

class QTcpSocket;
class SyncServer;

// One phone's connection to the sync service: collects one request, hands it to the server once it is
// whole, writes the answer and closes. It owns its socket; the two are deleted together.
class SyncConnection : public QObject
{
    Q_OBJECT

public:
    SyncConnection(QTcpSocket *socket, SyncServer *server, QObject *parent);

    // The peer's address, an IPv4-mapped one in its dotted form.
    QString peer() const;

    void sendJson(int status, const QJsonObject &object);
    // A JSON document already written out, answered as it is.
    void sendDocument(int status, const QByteArray &document);
    void sendError(int status, const QString &error);
    // Answers a HEAD whose body is not built: its length is left out.
    void sendHeadOnly(int status);

    // Its request was taken and the answer is not yet out, or still being written.
    bool isAnswering() const { return handled && !closed; }

    // The service has stopped: a request still being collected is never answered. The connection goes
    // with the listener.
    void abandon();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    // A chunked body as it is decoded, with the head it came with.
    struct ChunkedUpload
    {
        HttpRequest request;
        http::ChunkedDecoder decoder;
        bool awaited = false;
    };

    void onReadyRead();
    void onBytesWritten();
    void onDisconnected();
    void feedChunks(QByteArrayView bytes);
    bool awaitBody(HttpRequest head);
    void dispatch(HttpRequest request);
    void reject(http::ParseStatus status);
    void reject(int status, const QString &error);
    void dropReceived();
    void discardIncoming();
    void restartIdleTimer();
    void writeResponse(int status, const QByteArray &body);
    // A negative length leaves Content-Length out.
    void writeHead(int status, qint64 contentLength);
    void finishResponse();
    void drain();

    QTcpSocket *const socket;
    SyncServer *const server;
    QByteArray buffer;
    std::optional<ChunkedUpload> upload;
    // Drops a connection that neither receives nor sends anything for idleInterval; once the answer is
    // out, the interval shrinks to the drain time.
    QBasicTimer idleTimer;
    int idleInterval;
    // Once the head is known: the size of the whole request, head and body.
    qint64 expectedSize = 0;
    // Bytes read and dropped after the request.
    qint64 drained = 0;
    // The request has been dispatched or rejected; whatever comes after it is not read.
    bool handled = false;
    bool headOnly = false;
    // The peer sent, or may still send, bytes the answer leaves unread.
    bool leftUnread = false;
    bool answered = false;
    bool draining = false;
    // The peer went away, the connection timed out or the service stopped: nothing more is handled.
    bool closed = false;
};
