#include "sync/syncserver.h"

#include "storage/database.h"
#include "storage/snapshotreader.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <utility>

namespace {

const char *const bufferProperty = "recvBuf";
const char *const handledProperty = "handled";
const char *const expectedProperty = "expectedSize";
const char *const idleTimerName = "idleTimer";

// Bytes the socket may hold that nobody reads: after the request, the peer cannot push more than this.
constexpr qint64 socketReadBufferSize = 1024 * 1024;

QByteArray *bufferOf(const QTcpSocket *socket)
{
    return static_cast<QByteArray *>(socket->property(bufferProperty).value<void *>());
}

void restartIdleTimer(QTcpSocket *socket)
{
    if (auto *timer = socket->findChild<QTimer *>(QLatin1String(idleTimerName), Qt::FindDirectChildrenOnly))
        timer->start();
}

QString peerOf(const QTcpSocket *socket)
{
    QString peer = socket->peerAddress().toString();
    if (peer.startsWith(QLatin1String("::ffff:")))
        peer.remove(0, 7);
    return peer;
}

// Takes the body out of the receive buffer without copying it: the buffer is left empty.
QByteArray takeBody(QByteArray &buffer, const http::Framing &framing)
{
    QByteArray body = std::move(buffer);
    body.remove(0, framing.bodyOffset);
    body.truncate(framing.contentLength);
    return body;
}

// Runs through every character whatever the inputs, so the time taken does not tell how much of a guess was right.
bool keysEqual(QStringView presented, QStringView expected)
{
    const qsizetype length = qMax(presented.size(), expected.size());
    unsigned difference = presented.size() == expected.size() ? 0 : 1;
    for (qsizetype i = 0; i < length; ++i) {
        const char16_t a = i < presented.size() ? presented[i].unicode() : 0;
        const char16_t b = i < expected.size() ? expected[i].unicode() : 0;
        difference |= unsigned(a ^ b);
    }
    return difference == 0;
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
    case 503:
        return "Service Unavailable";
    default:
        return "Bad Request";
    }
}

QJsonObject errorObject(const QString &text)
{
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), text}};
}

} // namespace

SyncServer::SyncServer(QObject *parent)
    : QObject(parent)
{
}

SyncServer::~SyncServer()
{
    releaseConnections();
}

bool SyncServer::start(quint16 newPort)
{
    if (running)
        stop();
    listener = new QTcpServer(this);
    if (!listener->listen(QHostAddress::Any, newPort)) {
        Q_EMIT logMessage(QStringLiteral("同步服务启动失败: ") + listener->errorString());
        delete listener;
        listener = nullptr;
        return false;
    }
    connect(listener, &QTcpServer::newConnection, this, &SyncServer::onNewConnection);
    port = newPort;
    running = true;
    Q_EMIT logMessage(QStringLiteral("[同步服务] 已启动，端口 %1").arg(port));
    return true;
}

void SyncServer::stop()
{
    if (listener) {
        // Open connections go with the listener; their buffers would otherwise be lost with them.
        releaseConnections();
        listener->close();
        listener->deleteLater();
        listener = nullptr;
    }
    running = false;
}

void SyncServer::releaseConnections()
{
    if (!listener)
        return;
    const QList<QTcpSocket *> sockets = listener->findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
    for (QTcpSocket *socket : sockets)
        releaseBuffer(socket);
}

void SyncServer::releaseBuffer(QTcpSocket *socket)
{
    delete bufferOf(socket);
    socket->setProperty(bufferProperty, QVariant::fromValue<void *>(nullptr));
}

void SyncServer::onNewConnection()
{
    while (listener && listener->hasPendingConnections()) {
        QTcpSocket *socket = listener->nextPendingConnection();
        socket->setProperty(bufferProperty, QVariant::fromValue<void *>(new QByteArray));
        socket->setProperty(handledProperty, false);
        socket->setReadBufferSize(socketReadBufferSize);

        auto *idle = new QTimer(socket);
        idle->setObjectName(QLatin1String(idleTimerName));
        idle->setSingleShot(true);
        idle->setInterval(idleTimeoutMs);
        connect(idle, &QTimer::timeout, this, [this, socket] {
            releaseBuffer(socket);
            socket->abort();
            socket->deleteLater();
        });
        idle->start();

        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [socket] { restartIdleTimer(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            releaseBuffer(socket);
            socket->deleteLater();
        });
    }
}

void SyncServer::onReadyRead(QTcpSocket *socket)
{
    if (socket->property(handledProperty).toBool())
        return;
    QByteArray *buffer = bufferOf(socket);
    if (!buffer)
        return;
    const QByteArray incoming = socket->readAll();
    if (incoming.isEmpty())
        return;
    buffer->append(incoming);
    restartIdleTimer(socket);

    // Once the head is known, only the length is checked until the whole body is in.
    const qint64 expected = socket->property(expectedProperty).toLongLong();
    if (expected > 0 && buffer->size() < expected)
        return;

    HttpRequest request;
    http::Framing framing;
    switch (http::parseHead(*buffer, request, framing)) {
    case http::ParseStatus::NeedMore:
        return;
    case http::ParseStatus::Malformed:
        reject(socket, 400, QStringLiteral("请求格式错误"));
        return;
    case http::ParseStatus::HeadTooLarge:
        reject(socket, 400, QStringLiteral("请求头过大"));
        return;
    case http::ParseStatus::BodyTooLarge:
        reject(socket, 413, QStringLiteral("请求数据过大"));
        return;
    case http::ParseStatus::Complete:
        break;
    }

    if (buffer->size() < framing.totalSize()) {
        socket->setProperty(expectedProperty, framing.totalSize());
        buffer->reserve(framing.totalSize());
        return;
    }
    request.body = takeBody(*buffer, framing);
    socket->setProperty(handledProperty, true);
    handleRequest(socket, std::move(request));
}

// Answers a request that will not be handled; what it sent so far is dropped at once.
void SyncServer::reject(QTcpSocket *socket, int status, const QString &error)
{
    socket->setProperty(handledProperty, true);
    releaseBuffer(socket);
    sendJson(socket, status, errorObject(error));
}

void SyncServer::sendJson(QTcpSocket *socket, int status, const QJsonObject &object)
{
    writeResponse(socket, status, QJsonDocument(object).toJson(QJsonDocument::Compact),
                  QStringLiteral("application/json; charset=utf-8"));
}

void SyncServer::writeResponse(QTcpSocket *socket, int status, const QByteArray &body, const QString &contentType)
{
    const QString head = QStringLiteral("HTTP/1.1 %1 %2\r\nContent-Type: %3\r\nContent-Length: %4\r\n"
                                        "Connection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n")
                             .arg(status)
                             .arg(QString::fromLatin1(reasonPhrase(status)), contentType)
                             .arg(body.size());
    restartIdleTimer(socket);
    socket->write(head.toUtf8());
    socket->write(body);
    socket->flush();
    socket->disconnectFromHost();
}

bool SyncServer::checkKey(const HttpRequest &request) const
{
    if (key.isEmpty())
        return true;
    QString presented = request.headers.value(QLatin1String("x-sync-key")).toString();
    if (presented.isEmpty()) {
        const qsizetype at = request.path.indexOf(QLatin1String("key="));
        if (at >= 0) {
            const qsizetype start = at + 4;
            const qsizetype end = request.path.indexOf(QLatin1Char('&'), start);
            const QString raw = request.path.mid(start, end < 0 ? -1 : end - start);
            presented = QString::fromUtf8(QByteArray::fromPercentEncoding(raw.toLatin1()));
        }
    }
    return keysEqual(presented, key);
}

void SyncServer::handleRequest(QTcpSocket *socket, HttpRequest request)
{
    const QString peer = peerOf(socket);
    const QString &path = request.path;
    Database &db = Database::instance();
    // A slot behind activity may spin an event loop in which the peer goes away.
    const QPointer<QTcpSocket> guard(socket);
    auto answer = [this, &guard](int status, const QJsonObject &object) {
        if (guard)
            sendJson(guard, status, object);
    };

    if (path.startsWith(QLatin1String("/ping"))) {
        answer(200, {{QStringLiteral("ok"), true},
                     {QStringLiteral("app"), QStringLiteral("plindor")},
                     {QStringLiteral("protocol"), 1},
                     {QStringLiteral("needKey"), key.isEmpty() ? 0 : 1},
                     {QStringLiteral("deviceName"), deviceName}});
        return;
    }

    if (!refusal.isEmpty()) {
        answer(503, errorObject(refusal));
        return;
    }

    if (!checkKey(request)) {
        db.logSync(peer, QStringLiteral("拒绝"), QStringLiteral("密钥错误，拒绝访问"));
        Q_EMIT activity(peer, QStringLiteral("拒绝"), QStringLiteral("密钥错误"));
        answer(401, {{QStringLiteral("ok"), false},
                     {QStringLiteral("error"), QStringLiteral("密钥不正确")},
                     {QStringLiteral("needKey"), 1}});
        return;
    }

    if (path.startsWith(QLatin1String("/info"))) {
        answer(200, {{QStringLiteral("app"), QStringLiteral("plindor")},
                     {QStringLiteral("protocol"), 1},
                     {QStringLiteral("platform"), QStringLiteral("qt")},
                     {QStringLiteral("deviceName"), deviceName},
                     {QStringLiteral("exportedAt"), Database::nowText()},
                     {QStringLiteral("counts"), db.counts()},
                     {QStringLiteral("mode"), QStringLiteral("master")}});
        return;
    }

    if (path.startsWith(QLatin1String("/export"))) {
        const QString summary = QStringLiteral("手机拉走了主库数据");
        db.logSync(peer, QStringLiteral("拉取"), summary);
        Q_EMIT activity(peer, QStringLiteral("拉取"), summary);
        // Written straight from the rows: the document is never held as JSON objects.
        if (guard)
            writeResponse(guard, 200, db.snapshotText(), QStringLiteral("application/json; charset=utf-8"));
        return;
    }

    if (path.startsWith(QLatin1String("/import"))) {
        if (request.method != QLatin1String("POST") && request.method != QLatin1String("PUT")) {
            answer(404, errorObject(QStringLiteral("not found")));
            return;
        }
        // The body is checked whole before anything is stored, then merged one Record at a time: the
        // pushed document is never held as JSON objects. The reader keeps the only copy of the bytes and
        // frees them when the merge is done.
        MergeResult result;
        {
            const SnapshotReader document(std::exchange(request.body, QByteArray()));
            if (!document.isObject()) {
                answer(200, errorObject(QStringLiteral("数据格式无法解析")));
                return;
            }
            db.saveVersion(QStringLiteral("收到 %1 推送前").arg(peer), peer);
            result = db.merge(document);
        }
        const QString summary = result.details.join(QLatin1String(" / "));
        db.logSync(peer, QStringLiteral("推送"), summary);
        Q_EMIT activity(peer, QStringLiteral("推送"), summary);
        answer(200, {{QStringLiteral("ok"), true},
                     {QStringLiteral("merged"), result.perTable},
                     {QStringLiteral("details"), QJsonArray::fromStringList(result.details)},
                     {QStringLiteral("counts"), db.counts()},
                     {QStringLiteral("message"), QStringLiteral("主库已合并")}});
        return;
    }

    answer(404, errorObject(QStringLiteral("not found")));
}
