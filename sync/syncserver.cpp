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

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {

const char *const bufferProperty = "recvBuf";
const char *const handledProperty = "handled";
const char *const expectedProperty = "expectedSize";
const char *const uploadProperty = "chunkedUpload";
const char *const headOnlyProperty = "headOnly";
const char *const leftUnreadProperty = "leftUnread";
const char *const answeredProperty = "answered";
const char *const drainingProperty = "draining";
const char *const drainedProperty = "drained";
const char *const idleTimerName = "idleTimer";

// Bytes the socket reads from the system ahead of the handler, so a fast sender is held back.
constexpr qint64 socketReadBufferSize = 1024 * 1024;
// Phones connect in bursts; the system's default queue of 50 drops the rest, and they retry a second later.
constexpr int listenBacklog = 1024;

// A chunked body as it is decoded, with the head it came with.
struct ChunkedUpload
{
    HttpRequest request;
    http::ChunkedDecoder decoder;
    bool awaited = false;
};

QByteArray *bufferOf(const QTcpSocket *socket)
{
    return static_cast<QByteArray *>(socket->property(bufferProperty).value<void *>());
}

ChunkedUpload *uploadOf(const QTcpSocket *socket)
{
    return static_cast<ChunkedUpload *>(socket->property(uploadProperty).value<void *>());
}

QTimer *idleTimerOf(const QTcpSocket *socket)
{
    return socket->findChild<QTimer *>(QLatin1String(idleTimerName), Qt::FindDirectChildrenOnly);
}

void restartIdleTimer(QTcpSocket *socket)
{
    if (QTimer *timer = idleTimerOf(socket))
        timer->start();
}

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

// Reads and drops what the peer sends after its request; past the body bound it is cut off.
void discardIncoming(QTcpSocket *socket)
{
    const qint64 drained = socket->property(drainedProperty).toLongLong() + socket->skip(socket->bytesAvailable());
    socket->setProperty(drainedProperty, drained);
    if (drained > http::maxBodySize)
        socket->abort();
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
    case 501:
        return "Not Implemented";
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
    listener->setListenBacklogSize(listenBacklog);
    if (!listener->listen(QHostAddress::Any, newPort)) {
        lastStartError = listener->errorString();
        Q_EMIT logMessage(QStringLiteral("同步服务启动失败: ") + lastStartError);
        delete listener;
        listener = nullptr;
        return false;
    }
    connect(listener, &QTcpServer::newConnection, this, &SyncServer::onNewConnection);
    listenPort = newPort;
    running = true;
    lastStartError.clear();
    Q_EMIT logMessage(QStringLiteral("[同步服务] 已启动，端口 %1").arg(listenPort));
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
    delete uploadOf(socket);
    socket->setProperty(uploadProperty, QVariant::fromValue<void *>(nullptr));
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
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            restartIdleTimer(socket);
            if (socket->property(answeredProperty).toBool() && socket->bytesToWrite() == 0)
                drain(socket);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            releaseBuffer(socket);
            socket->deleteLater();
        });
    }
}

void SyncServer::onReadyRead(QTcpSocket *socket)
{
    if (socket->property(handledProperty).toBool()) {
        discardIncoming(socket);
        return;
    }
    QByteArray *buffer = bufferOf(socket);
    if (!buffer)
        return;
    const QByteArray incoming = socket->readAll();
    if (incoming.isEmpty())
        return;
    restartIdleTimer(socket);
    if (uploadOf(socket)) {
        feedChunks(socket, incoming);
        return;
    }
    buffer->append(incoming);

    // Once the head is known, only the length is checked until the whole body is in.
    const qint64 expected = socket->property(expectedProperty).toLongLong();
    if (expected > 0 && buffer->size() < expected)
        return;

    HttpRequest request;
    http::Framing framing;
    const http::ParseStatus status = http::parseHead(*buffer, request, framing);
    if (status == http::ParseStatus::NeedMore)
        return;
    if (status != http::ParseStatus::Complete) {
        reject(socket, status);
        return;
    }
    socket->setProperty(headOnlyProperty, request.method == QLatin1String("HEAD"));

    if (framing.chunked) {
        // From here on the raw bytes are decoded as they come and never kept.
        const QByteArray rest = buffer->mid(framing.bodyOffset);
        buffer->clear();
        buffer->squeeze();
        socket->setProperty(uploadProperty, QVariant::fromValue<void *>(new ChunkedUpload{std::move(request), {}, false}));
        feedChunks(socket, rest);
        return;
    }
    if (buffer->size() < framing.totalSize()) {
        socket->setProperty(expectedProperty, framing.totalSize());
        if (awaitBody(socket, request))
            buffer->reserve(framing.totalSize());
        return;
    }
    socket->setProperty(leftUnreadProperty, buffer->size() > framing.totalSize());
    request.body = takeBody(*buffer, framing);
    socket->setProperty(handledProperty, true);
    handleRequest(socket, std::move(request));
}

void SyncServer::feedChunks(QTcpSocket *socket, QByteArrayView bytes)
{
    ChunkedUpload *upload = uploadOf(socket);
    const qint64 before = upload->decoder.wireSize();
    const http::ParseStatus status = upload->decoder.feed(bytes, upload->request.body);
    if (status == http::ParseStatus::NeedMore) {
        if (!upload->awaited) {
            upload->awaited = true;
            awaitBody(socket, upload->request);
        }
        return;
    }
    if (status != http::ParseStatus::Complete) {
        reject(socket, status);
        return;
    }
    socket->setProperty(leftUnreadProperty, upload->decoder.wireSize() - before < bytes.size());
    HttpRequest request = std::move(upload->request);
    socket->setProperty(handledProperty, true);
    releaseBuffer(socket);
    handleRequest(socket, std::move(request));
}

// Called once, when the head is in and the body is not: a request that will not read its body is
// answered now, so an unwanted upload is neither waited for nor held. A client that waits for leave to
// send a body that will be read gets it.
bool SyncServer::awaitBody(QTcpSocket *socket, HttpRequest head)
{
    if (!readsBody(head)) {
        socket->setProperty(handledProperty, true);
        socket->setProperty(leftUnreadProperty, true);
        releaseBuffer(socket);
        head.body.clear();
        handleRequest(socket, std::move(head));
        return false;
    }
    if (head.headers.value(QLatin1String("expect")).toString().compare(QLatin1String("100-continue"),
                                                                       Qt::CaseInsensitive) == 0) {
        socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        socket->flush();
    }
    return true;
}

// Of all answers only that to a push with the right key depends on the body.
bool SyncServer::readsBody(const HttpRequest &head) const
{
    return head.path.startsWith(QLatin1String("/import"))
           && (head.method == QLatin1String("POST") || head.method == QLatin1String("PUT")) && checkKey(head)
           && unavailableReason().isEmpty();
}

// While the database is being replaced, or is damaged, read-only or not open, the data endpoints say
// why instead of serving or taking rows it cannot hold.
QString SyncServer::unavailableReason() const
{
    return !refusalReason.isEmpty() ? refusalReason : Database::instance().unusableReason();
}

void SyncServer::reject(QTcpSocket *socket, http::ParseStatus status)
{
    switch (status) {
    case http::ParseStatus::Malformed:
        reject(socket, 400, QStringLiteral("请求格式错误"));
        return;
    case http::ParseStatus::HeadTooLarge:
        reject(socket, 400, QStringLiteral("请求头过大"));
        return;
    case http::ParseStatus::BodyTooLarge:
        reject(socket, 413, QStringLiteral("请求数据过大"));
        return;
    case http::ParseStatus::AmbiguousFraming:
        reject(socket, 400, QStringLiteral("请求体长度声明冲突，无法确定请求体"));
        return;
    case http::ParseStatus::UnsupportedCoding:
        reject(socket, 501, QStringLiteral("不支持的传输编码"));
        return;
    case http::ParseStatus::BadChunk:
        reject(socket, 400, QStringLiteral("分块传输格式错误"));
        return;
    case http::ParseStatus::Complete:
    case http::ParseStatus::NeedMore:
        return;
    }
}

// Answers a request that will not be handled; what it sent so far is dropped at once.
void SyncServer::reject(QTcpSocket *socket, int status, const QString &error)
{
    socket->setProperty(handledProperty, true);
    socket->setProperty(leftUnreadProperty, true);
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
    writeHead(socket, status, contentType, body.size());
    // A HEAD gets the headers the same GET would get, and no body.
    if (!socket->property(headOnlyProperty).toBool())
        socket->write(body);
    finishResponse(socket);
}

void SyncServer::writeHead(QTcpSocket *socket, int status, const QString &contentType, qint64 contentLength)
{
    QString head = QStringLiteral("HTTP/1.1 %1 %2\r\nContent-Type: %3\r\n")
                       .arg(status)
                       .arg(QString::fromLatin1(reasonPhrase(status)), contentType);
    if (contentLength >= 0)
        head += QStringLiteral("Content-Length: %1\r\n").arg(contentLength);
    head += QLatin1String("Connection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
    restartIdleTimer(socket);
    socket->write(head.toUtf8());
}

void SyncServer::finishResponse(QTcpSocket *socket)
{
    socket->flush();
    // A peer that has sent all it meant to is closed on at once, the cheapest way.
    if (!socket->property(leftUnreadProperty).toBool() && socket->bytesAvailable() == 0) {
        socket->disconnectFromHost();
        return;
    }
    socket->setProperty(answeredProperty, true);
    if (socket->bytesToWrite() == 0)
        drain(socket);
}

// Once the answer is out the sending side is shut, and what the peer still sends is read and dropped until
// it closes or the drain time is over. Closing with unread bytes would reset the connection, and a reset
// can destroy the answer before the peer has read it.
void SyncServer::drain(QTcpSocket *socket)
{
    if (socket->property(drainingProperty).toBool())
        return;
    socket->setProperty(drainingProperty, true);
    shutdownSending(socket);
    if (QTimer *timer = idleTimerOf(socket)) {
        timer->setInterval(qMin(drainTimeoutMs, timer->interval()));
        timer->start();
    }
    discardIncoming(socket);
}

bool SyncServer::checkKey(const HttpRequest &request) const
{
    if (syncKey.isEmpty())
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
    return keysEqual(presented, syncKey);
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
                     {QStringLiteral("needKey"), syncKey.isEmpty() ? 0 : 1},
                     {QStringLiteral("deviceName"), announcedName}});
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

    if (path.startsWith(QLatin1String("/info")) || path.startsWith(QLatin1String("/export"))
        || path.startsWith(QLatin1String("/import"))) {
        const QString reason = unavailableReason();
        if (!reason.isEmpty()) {
            answer(503, errorObject(reason));
            return;
        }
    }

    // A fault of the database is answered as a failure: never as success, never as a shorter database.
    auto unavailable = [this, &answer, &peer](const QString &what, const QString &reason) {
        Q_EMIT logMessage(QStringLiteral("[同步服务] %1 %2失败：%3").arg(peer, what, reason));
        answer(503, errorObject(reason));
    };

    if (path.startsWith(QLatin1String("/info"))) {
        QString failure;
        const QJsonObject counts = db.counts(&failure);
        if (!failure.isEmpty()) {
            unavailable(QStringLiteral("读取概况"), failure);
            return;
        }
        answer(200, {{QStringLiteral("app"), QStringLiteral("plindor")},
                     {QStringLiteral("protocol"), 1},
                     {QStringLiteral("platform"), QStringLiteral("qt")},
                     {QStringLiteral("deviceName"), announcedName},
                     {QStringLiteral("exportedAt"), Database::nowText()},
                     {QStringLiteral("counts"), counts},
                     {QStringLiteral("mode"), QStringLiteral("master")}});
        return;
    }

    if (path.startsWith(QLatin1String("/export"))) {
        // A HEAD is not a pull: nothing is logged and no document is built, so its length is left out.
        if (request.method == QLatin1String("HEAD")) {
            if (guard) {
                writeHead(guard, 200, QStringLiteral("application/json; charset=utf-8"), -1);
                finishResponse(guard);
            }
            return;
        }
        // Written straight from the rows: the document is never held as JSON objects.
        QString failure;
        const QByteArray document = db.snapshotText(&failure);
        if (!failure.isEmpty()) {
            unavailable(QStringLiteral("拉取"), failure);
            return;
        }
        const QString summary = QStringLiteral("手机拉走了主库数据");
        db.logSync(peer, QStringLiteral("拉取"), summary);
        Q_EMIT activity(peer, QStringLiteral("拉取"), summary);
        if (guard)
            writeResponse(guard, 200, document, QStringLiteral("application/json; charset=utf-8"));
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
            Q_EMIT merging(true);
            result = db.merge(document, QStringLiteral("收到 %1 推送前").arg(peer), peer);
            Q_EMIT merging(false);
        }
        if (!result.error.isEmpty()) {
            // Nothing of the push was stored; the phone keeps its rows and may push again.
            if (!result.writeLockRefused)
                db.logSync(peer, QStringLiteral("推送失败"), result.error);
            Q_EMIT activity(peer, QStringLiteral("推送失败"), result.error);
            unavailable(QStringLiteral("推送"), result.error);
            return;
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
