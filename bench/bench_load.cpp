// Load test of the sync service: the real program in a temporary folder, driven over 127.0.0.1 by
// 100 concurrent clients sending 5,000 mixed requests, while 200 idle connections sit open and a slow
// client trickles its request one byte at a time. Afterwards the database is checked row by row.
//
//   bench_load [path/to/tovanik] [requests] [clients]
//
// Exits non-zero when any answer is wrong or anything is missing from the database.

#include "benchprogram.h"
#include "loadclient.h"
#include "tests/testnet.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

const QByteArray syncKey = "LOADKEY12345";

enum class Kind {
    Ping,
    Info,
    Export,
    Import,
    WrongKey
};

struct Outcome
{
    Kind kind;
    int status = 0;
    QJsonObject body;
    qint64 elapsedMs = 0;
    QString importedId;
};

QByteArray importBody(const QString &id)
{
    const QJsonObject item{
        {"id", id}, {"name", "负载物品 " + id}, {"barcode", id}, {"quantity", 3}, {"updatedAt", "2026-01-01 00:00:00"}};
    const QJsonObject transaction{{"id", "t-" + id}, {"itemId", id}, {"type", "in"}, {"quantity", 3}};
    const QJsonObject document{
        {"app", "plindor"}, {"protocol", 1}, {"items", QJsonArray{item}}, {"transactions", QJsonArray{transaction}}};
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

QByteArray requestFor(Kind kind, const QString &importId)
{
    switch (kind) {
    case Kind::Ping:
        return "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    case Kind::Info:
        return "GET /info HTTP/1.1\r\nX-Sync-Key: " + syncKey + "\r\n\r\n";
    case Kind::Export:
        return "GET /export?key=" + syncKey + " HTTP/1.1\r\n\r\n";
    case Kind::WrongKey:
        return "GET /export HTTP/1.1\r\nX-Sync-Key: WRONG\r\n\r\n";
    case Kind::Import: {
        const QByteArray body = importBody(importId);
        return "POST /import HTTP/1.1\r\nX-Sync-Key: " + syncKey
               + "\r\nContent-Type: application/json\r\n"
                 "Content-Length: "
               + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }
    }
    return {};
}

// Whether an answer is the correct one for its request.
bool answerIsRight(const Outcome &o)
{
    switch (o.kind) {
    case Kind::Ping:
        return o.status == 200 && o.body.value("ok").toBool() && o.body.value("needKey").toInt() == 1;
    case Kind::Info:
        return o.status == 200 && o.body.value("mode").toString() == "master" && o.body.value("counts").isObject();
    case Kind::Export:
        return o.status == 200 && o.body.value("app").toString() == "plindor" && o.body.value("items").isArray();
    case Kind::WrongKey:
        return o.status == 401 && o.body.value("error").toString() == QStringLiteral("密钥不正确");
    case Kind::Import:
        return o.status == 200 && o.body.value("ok").toBool()
               && o.body.value("merged").toObject().value("items").toInt() == 1
               && o.body.value("merged").toObject().value("transactions").toInt() == 1;
    }
    return false;
}

qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString program = args.size() > 1 ? args[1] : QDir(app.applicationDirPath()).filePath("../tovanik");
    const int totalRequests = args.size() > 2 ? args[2].toInt() : 5000;
    const int clientCount = args.size() > 3 ? args[3].toInt() : 100;
    const int idleCount = 200;

    QTemporaryDir folder;
    const quint16 port = testutil::freePort();
    const QString deployed =
        benchprogram::deploy(program, folder.path(), port, QString::fromLatin1(syncKey), QStringLiteral("负载测试"));
    if (deployed.isEmpty())
        return 2;

    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    server.setProcessEnvironment(env);
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(deployed, {});
    if (!server.waitForStarted()) {
        std::fprintf(stderr, "program did not start\n");
        return 2;
    }
    if (!waitForPing(port, 20000)) {
        std::fprintf(stderr, "service did not answer /ping\n");
        server.kill();
        return 2;
    }

    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < idleCount; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, port);
    }

    // The slow client trickles a whole /info request, one byte every 5 ms.
    const QByteArray slowRequest = requestFor(Kind::Info, QString());
    LoadClient slow(port);
    Outcome slowOutcome{Kind::Info, 0, {}, 0, {}};
    bool slowDone = false;
    QTimer trickle;
    int trickled = 0;
    slow.onAnswer = [&](int status, const QJsonObject &body, qint64 ms) {
        slowOutcome.status = status;
        slowOutcome.body = body;
        slowOutcome.elapsedMs = ms;
        slowDone = true;
    };
    slow.open();
    QObject::connect(&trickle, &QTimer::timeout, [&] {
        if (trickled < slowRequest.size())
            slow.writeRaw(slowRequest.mid(trickled++, 1));
        else
            trickle.stop();
    });
    trickle.start(5);

    std::vector<Outcome> outcomes;
    outcomes.reserve(totalRequests);
    int issued = 0;
    int finished = 0;
    std::vector<std::unique_ptr<LoadClient>> clients;
    QElapsedTimer wall;
    wall.start();

    std::function<void(LoadClient *)> issueNext = [&](LoadClient *client) {
        if (issued >= totalRequests)
            return;
        const int n = issued++;
        static const Kind pattern[] = {Kind::Ping, Kind::Info,   Kind::Ping,     Kind::Import, Kind::Info,
                                       Kind::Ping, Kind::Export, Kind::WrongKey, Kind::Import, Kind::Ping};
        const Kind kind = pattern[n % 10];
        const QString importId = kind == Kind::Import ? QStringLiteral("load-%1").arg(n) : QString();
        const size_t slot = outcomes.size();
        outcomes.push_back(Outcome{kind, 0, {}, 0, importId});
        client->onAnswer = [&, client, slot](int status, const QJsonObject &body, qint64 ms) {
            outcomes[slot].status = status;
            outcomes[slot].body = body;
            outcomes[slot].elapsedMs = ms;
            ++finished;
            issueNext(client);
        };
        client->send(requestFor(kind, importId));
    };
    for (int i = 0; i < clientCount; ++i) {
        clients.push_back(std::make_unique<LoadClient>(port));
        issueNext(clients.back().get());
    }

    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(300000);
    while ((finished < totalRequests || !slowDone) && deadline.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const qint64 elapsed = wall.elapsed();

    int idleStillOpen = 0;
    for (const auto &socket : idle)
        idleStillOpen += socket->state() == QAbstractSocket::ConnectedState ? 1 : 0;
    const qint64 peakKiB = peakMemoryKiB(server.processId());

    // Quit the program the way a closed window would not be possible offscreen: it is killed, which the
    // database must survive anyway (every write is committed before the answer goes out).
    server.kill();
    server.waitForFinished();

    int wrong = 0;
    int pulls = 0;
    int pushes = 0;
    int refusals = 0;
    qint64 slowest = 0;
    QStringList pushedIds;
    for (const Outcome &o : outcomes) {
        if (!answerIsRight(o)) {
            if (++wrong <= 5)
                std::fprintf(stderr, "wrong answer (kind %d): status %d %s\n", int(o.kind), o.status,
                             QJsonDocument(o.body).toJson(QJsonDocument::Compact).left(200).constData());
        }
        slowest = std::max(slowest, o.elapsedMs);
        pulls += o.kind == Kind::Export ? 1 : 0;
        pushes += o.kind == Kind::Import ? 1 : 0;
        refusals += o.kind == Kind::WrongKey ? 1 : 0;
        if (o.kind == Kind::Import)
            pushedIds << o.importedId;
    }
    const bool slowRight = slowDone && answerIsRight(slowOutcome);

    bool databaseRight = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(folder.filePath("data/plindor.db"));
        db.open();
        QSqlQuery q(db);
        q.exec("PRAGMA integrity_check");
        const QString integrity = q.next() ? q.value(0).toString() : QString("failed");
        int missing = 0;
        for (const QString &id : pushedIds) {
            q.prepare("SELECT (SELECT COUNT(*) FROM items WHERE id = ? AND deleted = 0) + "
                      "(SELECT COUNT(*) FROM transactions WHERE id = ? AND deleted = 0)");
            q.addBindValue(id);
            q.addBindValue("t-" + id);
            missing += (q.exec() && q.next() && q.value(0).toInt() == 2) ? 0 : 1;
        }
        auto logged = [&](const QString &direction) {
            QSqlQuery c(db);
            c.prepare("SELECT COUNT(*) FROM sync_log WHERE direction = ?");
            c.addBindValue(direction);
            return c.exec() && c.next() ? c.value(0).toInt() : -1;
        };
        const int loggedPulls = logged(QStringLiteral("拉取"));
        const int loggedPushes = logged(QStringLiteral("推送"));
        const int loggedRefusals = logged(QStringLiteral("拒绝"));
        std::printf("integrity_check: %s\n", qPrintable(integrity));
        std::printf("pushed rows missing: %d of %d pushes\n", missing, int(pushedIds.size()));
        std::printf("sync log: %d pulls (sent %d), %d pushes (sent %d), %d refusals (sent %d)\n", loggedPulls, pulls,
                    loggedPushes, pushes, loggedRefusals, refusals);
        databaseRight = integrity == "ok" && missing == 0 && loggedPulls == pulls && loggedPushes == pushes
                        && loggedRefusals == refusals;
    }
    QSqlDatabase::removeDatabase("check");

    std::printf("requests: %d of %d answered in %.2f s, %d wrong\n", finished, totalRequests, elapsed / 1000.0, wrong);
    std::printf("requests per second: %.0f\n", finished * 1000.0 / std::max<qint64>(elapsed, 1));
    std::printf("slowest answer: %lld ms\n", static_cast<long long>(slowest));
    std::printf("slow client: %s after %lld ms\n", slowRight ? "right answer" : "WRONG or none",
                static_cast<long long>(slowOutcome.elapsedMs));
    std::printf("idle connections still open at the end: %d of %d\n", idleStillOpen, idleCount);
    std::printf("server peak memory (VmHWM): %.1f MiB\n", peakKiB / 1024.0);

    const bool ok = finished == totalRequests && wrong == 0 && slowRight && databaseRight;
    std::printf("%s\n", ok ? "LOAD TEST PASSED" : "LOAD TEST FAILED");
    return ok ? 0 : 1;
}
