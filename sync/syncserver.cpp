#include "sync/syncserver.h"

#include "storage/clock.h"
#include "storage/database.h"
#include "storage/handoff.h"
#include "storage/readsession.h"
#include "storage/snapshotreader.h"
#include "storage/storagethread.h"
#include "sync/syncconnection.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QPointer>
#include <QTcpServer>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
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
    , readers(new QThreadPool(this))
    , replies(new Mailbox(this))
{
    // Pulls share the machine's cores with the merge and the window; more at once only slows each.
    readers->setMaxThreadCount(2);
    refusalCounts = new QTimer(this);
    refusalCounts->setInterval(1000);
    connect(refusalCounts, &QTimer::timeout, this, [this] {
        writeRefusalCounts(refusals.due(Clock::msecsSinceEpoch()));
        if (refusals.isEmpty())
            refusalCounts->stop();
    });
}

SyncServer::~SyncServer()
{
    readers->waitForDone();
}

void SyncServer::setOpening(bool nowOpening)
{
    opening = nowOpening;
    if (opening)
        return;
    const QList<std::function<void()>> waiting = std::exchange(waitingForOpening, {});
    for (const std::function<void()> &request : waiting)
        request();
}

void SyncServer::stopListening()
{
    if (listener)
        listener->close();
}

bool SyncServer::hasAnswersOutstanding() const
{
    if (inFlight > 0)
        return true;
    if (!listener)
        return false;
    const QList<SyncConnection *> connections =
        listener->findChildren<SyncConnection *>(QString(), Qt::FindDirectChildrenOnly);
    return std::any_of(connections.cbegin(), connections.cend(),
                       [](const SyncConnection *connection) { return connection->isAnswering(); });
}

template<typename Read, typename Done>
void SyncServer::readAside(Read read, Done done)
{
    ++inFlight;
    const QString file = Database::instance().fileName();
    // The server waits for its readers before it goes, and replies with it: a reply posted to a server
    // gone meanwhile is dropped with it.
    Mailbox *back = replies;
    handoff::start(readers, [this, back, file, read = std::move(read), done = std::move(done)] {
        QString failure;
        decltype(read(&failure)) result{};
        {
            const ReadSession session(file);
            if (session.isOpen())
                result = read(&failure);
            else
                failure = session.error();
        }
        back->post([this, done, result, failure] {
            --inFlight;
            done(result, failure);
        });
    });
}

void SyncServer::logSync(const QString &peer, const QString &direction, const QString &summary, const QString &detail)
{
    StorageThread::run(
        storage, this, [peer, direction, summary] { Database::instance().logSync(peer, direction, summary); },
        [this, peer, direction, detail] { Q_EMIT activity(peer, direction, detail); });
}

void SyncServer::refuse(SyncConnection *connection)
{
    // A slot behind activity may spin an event loop in which the peer goes away, and its connection with it.
    const QPointer<SyncConnection> guard(connection);
    const RefusalTally::Note note = refusals.note(connection->peer(), Clock::msecsSinceEpoch());
    writeRefusalCounts(note.ended);
    if (note.ownRow)
        logSync(note.loggedAs, QStringLiteral("拒绝"), QStringLiteral("密钥错误，拒绝访问"),
                QStringLiteral("密钥错误"));
    if (!refusals.isEmpty() && !refusalCounts->isActive())
        refusalCounts->start();
    if (guard)
        guard->sendJson(401, {{QStringLiteral("ok"), false},
                              {QStringLiteral("error"), QStringLiteral("密钥不正确")},
                              {QStringLiteral("needKey"), 1}});
}

void SyncServer::writeRefusalCounts(const QList<RefusalTally::Count> &counts)
{
    for (const RefusalTally::Count &count : counts) {
        const QString summary = RefusalTally::countSummary(count.times);
        logSync(count.peer, QStringLiteral("拒绝"), summary, summary);
    }
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
    refusalCounts->stop();
    writeRefusalCounts(refusals.takeAll());
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
    if (!refusalReason.isEmpty())
        return refusalReason;
    return opening ? QString() : Database::instance().unusableReason();
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
        refuse(connection);
        return;
    }

    const bool info = path.startsWith(QLatin1String("/info"));
    const bool pull = path.startsWith(QLatin1String("/export"));
    const bool push = path.startsWith(QLatin1String("/import"));
    if ((info || pull || push) && opening) {
        waitingForOpening.append([this, guard, request]() mutable {
            if (guard)
                handleRequest(guard, std::move(request));
        });
        return;
    }
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
    readAside([](QString *failure) { return Database::instance().counts(failure); },
              [this, connection](const QJsonObject &counts, const QString &failure) {
                  if (!connection)
                      return;
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
              });
}

void SyncServer::answerPull(const QPointer<SyncConnection> &connection, const HttpRequest &request)
{
    // A HEAD is not a pull: nothing is logged and no document is built, so its length is left out.
    if (request.method == QLatin1String("HEAD")) {
        connection->sendHeadOnly(200);
        return;
    }
    const QString peer = connection->peer();
    // Written straight from the rows, all of one state: the document is never held as JSON objects.
    readAside([](QString *failure) { return Database::instance().snapshotText(failure); },
              [this, connection, peer](const QByteArray &document, const QString &failure) {
                  if (!failure.isEmpty()) {
                      answerFault(connection, peer, QStringLiteral("拉取"), failure);
                      return;
                  }
                  const QString summary = QStringLiteral("手机拉走了主库数据");
                  logSync(peer, QStringLiteral("拉取"), summary, summary);
                  if (connection)
                      connection->sendDocument(200, document);
              });
}

void SyncServer::answerPush(const QPointer<SyncConnection> &connection, HttpRequest request)
{
    if (request.method != QLatin1String("POST") && request.method != QLatin1String("PUT")) {
        connection->sendError(404, QStringLiteral("not found"));
        return;
    }
    struct Outcome
    {
        bool parsed = false;
        MergeResult result;
        QJsonObject counts;
    };
    const QString peer = connection->peer();
    // The body is checked whole before anything is stored, then merged one Record at a time: the
    // pushed document is never held as JSON objects. The reader keeps the only copy of the bytes and
    // frees them when the merge is done.
    auto merge = [peer, body = std::exchange(request.body, QByteArray())]() mutable {
        Outcome outcome;
        const SnapshotReader document(std::exchange(body, QByteArray()));
        if (!document.isObject())
            return outcome;
        outcome.parsed = true;
        Database &db = Database::instance();
        // A restore may have replaced or closed the database while the push waited its turn.
        const QString reason = db.unusableReason();
        outcome.result = !reason.isEmpty() ? MergeResult{{}, {}, reason, true}
                                           : db.merge(document, QStringLiteral("收到 %1 推送前").arg(peer), peer);
        if (!outcome.result.error.isEmpty()) {
            // Nothing of the push was stored; the phone keeps its rows and may push again.
            if (!outcome.result.writeLockRefused)
                db.logSync(peer, QStringLiteral("推送失败"), outcome.result.error);
            return outcome;
        }
        db.logSync(peer, QStringLiteral("推送"), outcome.result.details.join(QLatin1String(" / ")));
        outcome.counts = db.counts();
        return outcome;
    };
    auto answer = [this, connection, peer](Outcome outcome) {
        --inFlight;
        Q_EMIT merging(false);
        if (!outcome.parsed) {
            if (connection)
                connection->sendError(200, QStringLiteral("数据格式无法解析"));
            return;
        }
        const MergeResult &result = outcome.result;
        if (!result.error.isEmpty()) {
            Q_EMIT activity(peer, QStringLiteral("推送失败"), result.error);
            answerFault(connection, peer, QStringLiteral("推送"), result.error);
            return;
        }
        Q_EMIT activity(peer, QStringLiteral("推送"), result.details.join(QLatin1String(" / ")));
        if (connection)
            connection->sendJson(200, {{QStringLiteral("ok"), true},
                                       {QStringLiteral("merged"), result.perTable},
                                       {QStringLiteral("details"), QJsonArray::fromStringList(result.details)},
                                       {QStringLiteral("counts"), outcome.counts},
                                       {QStringLiteral("message"), QStringLiteral("主库已合并")}});
    };
    ++inFlight;
    Q_EMIT merging(true);
    StorageThread::run(storage, this, std::move(merge), std::move(answer));
}
