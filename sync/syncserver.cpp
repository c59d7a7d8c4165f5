#include "sync/syncserver.h"

#include "storage/database.h"
#include "storage/snapshotreader.h"
#include "sync/syncconnection.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QPointer>
#include <QTcpServer>

#include <utility>

namespace {

// Phones connect in bursts; the system's default queue of 50 drops the rest, and they retry a second later.
constexpr int listenBacklog = 1024;

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

} // namespace

SyncServer::SyncServer(QObject *parent)
    : QObject(parent)
{
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
        // The connections go with the listener, later; until then none of them takes a request further.
        const QList<SyncConnection *> connections =
            listener->findChildren<SyncConnection *>(QString(), Qt::FindDirectChildrenOnly);
        for (SyncConnection *connection : connections)
            connection->abandon();
        listener->close();
        listener->deleteLater();
        listener = nullptr;
    }
    running = false;
}

void SyncServer::onNewConnection()
{
    while (listener && listener->hasPendingConnections())
        new SyncConnection(listener->nextPendingConnection(), this, listener);
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

void SyncServer::handleRequest(SyncConnection *connection, HttpRequest request)
{
    const QString &path = request.path;
    // A slot behind activity may spin an event loop in which the peer goes away, and its connection with it.
    const QPointer<SyncConnection> guard(connection);

    if (path.startsWith(QLatin1String("/ping"))) {
        connection->sendJson(200, {{QStringLiteral("ok"), true},
                                   {QStringLiteral("app"), QStringLiteral("plindor")},
                                   {QStringLiteral("protocol"), 1},
                                   {QStringLiteral("needKey"), syncKey.isEmpty() ? 0 : 1},
                                   {QStringLiteral("deviceName"), announcedName}});
        return;
    }

    if (!checkKey(request)) {
        const QString peer = connection->peer();
        Database::instance().logSync(peer, QStringLiteral("拒绝"), QStringLiteral("密钥错误，拒绝访问"));
        Q_EMIT activity(peer, QStringLiteral("拒绝"), QStringLiteral("密钥错误"));
        if (guard)
            guard->sendJson(401, {{QStringLiteral("ok"), false},
                                  {QStringLiteral("error"), QStringLiteral("密钥不正确")},
                                  {QStringLiteral("needKey"), 1}});
        return;
    }

    const bool info = path.startsWith(QLatin1String("/info"));
    const bool pull = path.startsWith(QLatin1String("/export"));
    const bool push = path.startsWith(QLatin1String("/import"));
    if (info || pull || push) {
        const QString reason = unavailableReason();
        if (!reason.isEmpty()) {
            connection->sendError(503, reason);
            return;
        }
    }
    if (info)
        answerInfo(guard);
    else if (pull)
        answerPull(guard, request);
    else if (push)
        answerPush(guard, std::move(request));
    else
        connection->sendError(404, QStringLiteral("not found"));
}

// A fault of the database is answered as a failure: never as success, never as a shorter database.
void SyncServer::answerFault(const QPointer<SyncConnection> &connection, const QString &peer, const QString &what,
                             const QString &reason)
{
    Q_EMIT logMessage(QStringLiteral("[同步服务] %1 %2失败：%3").arg(peer, what, reason));
    if (connection)
        connection->sendError(503, reason);
}

void SyncServer::answerInfo(const QPointer<SyncConnection> &connection)
{
    QString failure;
    const QJsonObject counts = Database::instance().counts(&failure);
    if (!failure.isEmpty()) {
        answerFault(connection, connection->peer(), QStringLiteral("读取概况"), failure);
        return;
    }
    connection->sendJson(200, {{QStringLiteral("app"), QStringLiteral("plindor")},
                               {QStringLiteral("protocol"), 1},
                               {QStringLiteral("platform"), QStringLiteral("qt")},
                               {QStringLiteral("deviceName"), announcedName},
                               {QStringLiteral("exportedAt"), Database::nowText()},
                               {QStringLiteral("counts"), counts},
                               {QStringLiteral("mode"), QStringLiteral("master")}});
}

void SyncServer::answerPull(const QPointer<SyncConnection> &connection, const HttpRequest &request)
{
    // A HEAD is not a pull: nothing is logged and no document is built, so its length is left out.
    if (request.method == QLatin1String("HEAD")) {
        connection->sendHeadOnly(200);
        return;
    }
    const QString peer = connection->peer();
    Database &db = Database::instance();
    // Written straight from the rows: the document is never held as JSON objects.
    QString failure;
    const QByteArray document = db.snapshotText(&failure);
    if (!failure.isEmpty()) {
        answerFault(connection, peer, QStringLiteral("拉取"), failure);
        return;
    }
    const QString summary = QStringLiteral("手机拉走了主库数据");
    db.logSync(peer, QStringLiteral("拉取"), summary);
    Q_EMIT activity(peer, QStringLiteral("拉取"), summary);
    if (connection)
        connection->sendDocument(200, document);
}

void SyncServer::answerPush(const QPointer<SyncConnection> &connection, HttpRequest request)
{
    if (request.method != QLatin1String("POST") && request.method != QLatin1String("PUT")) {
        connection->sendError(404, QStringLiteral("not found"));
        return;
    }
    const QString peer = connection->peer();
    Database &db = Database::instance();
    // The body is checked whole before anything is stored, then merged one Record at a time: the
    // pushed document is never held as JSON objects. The reader keeps the only copy of the bytes and
    // frees them when the merge is done.
    MergeResult result;
    {
        const SnapshotReader document(std::exchange(request.body, QByteArray()));
        if (!document.isObject()) {
            connection->sendError(200, QStringLiteral("数据格式无法解析"));
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
        answerFault(connection, peer, QStringLiteral("推送"), result.error);
        return;
    }
    const QString summary = result.details.join(QLatin1String(" / "));
    db.logSync(peer, QStringLiteral("推送"), summary);
    Q_EMIT activity(peer, QStringLiteral("推送"), summary);
    if (connection)
        connection->sendJson(200, {{QStringLiteral("ok"), true},
                                   {QStringLiteral("merged"), result.perTable},
                                   {QStringLiteral("details"), QJsonArray::fromStringList(result.details)},
                                   {QStringLiteral("counts"), db.counts()},
                                   {QStringLiteral("message"), QStringLiteral("主库已合并")}});
}
