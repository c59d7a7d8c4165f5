#include "sync/syncconnection.h"

#include "sync/syncserver.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimerEvent>

#include <utility>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

// Bytes the socket reads from the system ahead of the handler, so a fast sender is held back.
constexpr qint64 socketReadBufferSize = 1024 * 1024;

// Sends FIN while the receiving side stays open; Qt offers no half-close of its own.
void shutdownSending(const QTcpSocket *socket)
{
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor < 0)
        return;
#ifdef Q_OS_WIN
    ::shutdown(SOCKET(descriptor), SD_SEND);
#else
    ::shutdown(int(descriptor), SHUT_WR);
#endif
}

// Takes the body out of the receive buffer without copying it: the buffer is left empty.
QByteArray takeBody(QByteArray &buffer, const http::Framing &framing)
{
    QByteArray body = std::move(buffer);
    body.remove(0, framing.bodyOffset);
    body.truncate(framing.contentLength);
    return body;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 413:
        return "Payload Too Large";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    default:
        return "Bad Request";
    }
}

} // namespace

SyncConnection::SyncConnection(QTcpSocket *socket, SyncServer *server, QObject *parent)
    : QObject(parent)
    , socket(socket)
    , server(server)
    , idleInterval(server->idleTimeout())
{
    socket->setParent(this);
    socket->setReadBufferSize(socketReadBufferSize);
    idleTimer.start(idleInterval, this);
    connect(socket, &QTcpSocket::readyRead, this, &SyncConnection::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, &SyncConnection::onBytesWritten);
    connect(socket, &QTcpSocket::disconnected, this, &SyncConnection::onDisconnected);
}

QString SyncConnection::peer() const
{
    QString peer = socket->peerAddress().toString();
    if (peer.startsWith(QLatin1String("::ffff:")))
        peer.remove(0, 7);
    return peer;
}

void SyncConnection::abandon()
{
    closed = true;
    dropReceived();
}

void SyncConnection::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != idleTimer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    idleTimer.stop();
    abandon();
    socket->abort();
    deleteLater();
}

void SyncConnection::onDisconnected()
{
    abandon();
    deleteLater();
}

void SyncConnection::onBytesWritten()
{
    restartIdleTimer();
    if (answered && socket->bytesToWrite() == 0)
        drain();
}

void SyncConnection::onReadyRead()
{
    if (handled) {
        discardIncoming();
        return;
    }
    if (closed)
        return;
    const QByteArray incoming = socket->readAll();
    if (incoming.isEmpty())
        return;
    restartIdleTimer();
    if (upload) {
        feedChunks(incoming);
        return;
    }
    buffer.append(incoming);

    // Once the head is known, only the length is checked until the whole body is in.
    if (expectedSize > 0 && buffer.size() < expectedSize)
        return;

    HttpRequest request;
    http::Framing framing;
    const http::ParseStatus status = http::parseHead(buffer, request, framing);
    if (status == http::ParseStatus::NeedMore)
        return;
    if (status != http::ParseStatus::Complete) {
        reject(status);
        return;
    }
    headOnly = request.method == QLatin1String("HEAD");

    if (framing.chunked) {
        // From here on the raw bytes are decoded as they come and never kept.
        const QByteArray rest = buffer.mid(framing.bodyOffset);
        buffer.clear();
        upload.emplace(ChunkedUpload{std::move(request), {}, false});
        feedChunks(rest);
        return;
    }
    if (buffer.size() < framing.totalSize()) {
        expectedSize = framing.totalSize();
        if (awaitBody(request))
            buffer.reserve(framing.totalSize());
        return;
    }
    leftUnread = buffer.size() > framing.totalSize();
    request.body = takeBody(buffer, framing);
    dispatch(std::move(request));
}

void SyncConnection::feedChunks(QByteArrayView bytes)
{
    const qint64 before = upload->decoder.wireSize();
    const http::ParseStatus status = upload->decoder.feed(bytes, upload->request.body);
    if (status == http::ParseStatus::NeedMore) {
        if (!upload->awaited) {
            upload->awaited = true;
            awaitBody(upload->request);
        }
        return;
    }
    if (status != http::ParseStatus::Complete) {
        reject(status);
        return;
    }
    leftUnread = upload->decoder.wireSize() - before < bytes.size();
    dispatch(std::move(upload->request));
}

// Called once, when the head is in and the body is not: a request that will not read its body is
// answered now, so an unwanted upload is neither waited for nor held. A client that waits for leave to
// send a body that will be read gets it.
bool SyncConnection::awaitBody(HttpRequest head)
{
    if (!server->readsBody(head)) {
        leftUnread = true;
        head.body.clear();
        dispatch(std::move(head));
        return false;
    }
    if (head.headers.value(QLatin1String("expect"))
            .toString()
            .compare(QLatin1String("100-continue"), Qt::CaseInsensitive)
        == 0) {
        socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        socket->flush();
    }
    return true;
}

// The server may run an event loop while it answers, in which the peer can go away and this connection
// be deleted: nothing of it is touched after the call.
void SyncConnection::dispatch(HttpRequest request)
{
    handled = true;
    dropReceived();
    server->handleRequest(this, std::move(request));
}

void SyncConnection::reject(http::ParseStatus status)
{
    switch (status) {
    case http::ParseStatus::Malformed:
        reject(400, QStringLiteral("请求格式错误"));
        return;
    case http::ParseStatus::HeadTooLarge:
        reject(400, QStringLiteral("请求头过大"));
        return;
    case http::ParseStatus::BodyTooLarge:
        reject(413, QStringLiteral("请求数据过大"));
        return;
    case http::ParseStatus::AmbiguousFraming:
        reject(400, QStringLiteral("请求体长度声明冲突，无法确定请求体"));
        return;
    case http::ParseStatus::UnsupportedCoding:
        reject(501, QStringLiteral("不支持的传输编码"));
        return;
    case http::ParseStatus::BadChunk:
        reject(400, QStringLiteral("分块传输格式错误"));
        return;
    case http::ParseStatus::Complete:
    case http::ParseStatus::NeedMore:
        return;
    }
}

// Answers a request that will not be handled; what it sent so far is dropped at once.
void SyncConnection::reject(int status, const QString &error)
{
    handled = true;
    leftUnread = true;
    dropReceived();
    sendError(status, error);
}

// Frees what was received of the request, which may be a whole upload, before the connection itself goes.
void SyncConnection::dropReceived()
{
    buffer.clear();
    upload.reset();
}

// Reads and drops what the peer sends after its request; past the body bound it is cut off.
void SyncConnection::discardIncoming()
{
    drained += socket->skip(socket->bytesAvailable());
    if (drained > http::maxBodySize)
        socket->abort();
}

void SyncConnection::restartIdleTimer()
{
    idleTimer.start(idleInterval, this);
}

void SyncConnection::sendJson(int status, const QJsonObject &object)
{
    writeResponse(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void SyncConnection::sendDocument(int status, const QByteArray &document)
{
    writeResponse(status, document);
}

void SyncConnection::sendError(int status, const QString &error)
{
    sendJson(status, {{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}});
}

void SyncConnection::sendHeadOnly(int status)
{
    writeHead(status, -1);
    finishResponse();
}

void SyncConnection::writeResponse(int status, const QByteArray &body)
{
    writeHead(status, body.size());
    // A HEAD gets the headers the same GET would get, and no body.
    if (!headOnly)
        socket->write(body);
    finishResponse();
}

void SyncConnection::writeHead(int status, qint64 contentLength)
{
    QString head = QStringLiteral("HTTP/1.1 %1 %2\r\nContent-Type: application/json; charset=utf-8\r\n")
                       .arg(status)
                       .arg(QString::fromLatin1(reasonPhrase(status)));
    if (contentLength >= 0)
        head += QStringLiteral("Content-Length: %1\r\n").arg(contentLength);
    head += QLatin1String("Connection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
    restartIdleTimer();
    socket->write(head.toUtf8());
}

void SyncConnection::finishResponse()
{
    socket->flush();
    // A peer that has sent all it meant to is closed on at once, the cheapest way.
    if (!leftUnread && socket->bytesAvailable() == 0) {
        socket->disconnectFromHost();
        return;
    }
    answered = true;
    if (socket->bytesToWrite() == 0)
        drain();
}

// Once the answer is out the sending side is shut, and what the peer still sends is read and dropped until
// it closes or the drain time is over. Closing with unread bytes would reset the connection, and a reset
// can destroy the answer before the peer has read it.
void SyncConnection::drain()
{
    if (draining)
        return;
    draining = true;
    shutdownSending(socket);
    idleInterval = qMin(server->drainTimeout(), idleInterval);
    idleTimer.start(idleInterval, this);
    discardIncoming();
}
