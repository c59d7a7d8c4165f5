// The real program (headless) under a flood of wrong keys: 16 clients, each from an address of its own
// (127.0.0.2 to 127.0.0.17), send requests with a key that is not the program's, one after another, for
// 20 s. Meanwhile a phone with the key pushes 20,000 items and "/ping" is sent every 50 ms. Prints
//  - the push's time against the same push when all is quiet (target within 1.2x);
//  - the slowest "/ping" (target within 50 ms);
//  - the refusals answered, and the sync-log rows they left per address and minute;
//  - how much the database file and its log grew per thousand refusals (target: nothing that grows with them).
// Run it by hand or through scripts/bench.sh flood.
//   bench_flood [items] [--seconds S] [--program PATH]     (default: 20000 items, 20 s, this build's tovanik)

#include "benchprogram.h"
#include "blockingrequest.h"
#include "datagen.h"
#include "tests/testnet.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

const QString syncKey = QStringLiteral("BENCHKEY2345");
constexpr int floodClients = 16;

QByteArray run(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    process.waitForFinished(600000);
    return process.readAllStandardOutput();
}

// The push's seconds as curl timed it, or -1 when it was not answered 200.
double pushSeconds(quint16 port, const QString &bodyFile)
{
    const QList<QByteArray> pushed =
        run(QStringLiteral("curl"), {"-s", "-o", "/dev/null", "-w", "%{http_code} %{time_total}", "--noproxy", "*",
                                     "-H", "X-Sync-Key: " + syncKey, "-H", "Expect:", "--data-binary", "@" + bodyFile,
                                     QStringLiteral("http://127.0.0.1:%1/import").arg(port)})
            .split(' ');
    return pushed.value(0) == "200" ? pushed.value(1).toDouble() : -1;
}

qint64 storeBytes(const QString &database)
{
    return QFileInfo(database).size() + QFileInfo(database + QStringLiteral("-wal")).size();
}

void measure(const QString &program, int itemCount, int seconds)
{
    QTemporaryDir folder;
    const quint16 port = testutil::freePort();
    const QString executable = benchprogram::deploy(program, folder.path(), port, syncKey);
    if (executable.isEmpty())
        return;
    const QString bodyFile = folder.filePath(QStringLiteral("push.json"));
    QFile pushFile(bodyFile);
    pushFile.open(QIODevice::WriteOnly);
    pushFile.write(QJsonDocument(datagen::snapshotDocument(itemCount)).toJson(QJsonDocument::Compact));
    pushFile.close();
    const QString database = folder.filePath(QStringLiteral("data/plindor.db"));

    QProcess tovanik;
    tovanik.setStandardOutputFile(QProcess::nullDevice());
    tovanik.setStandardErrorFile(QProcess::nullDevice());
    tovanik.start(executable, {QStringLiteral("--headless")});
    const QByteArray ping = "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
        up = bench::blockingRequest(port, ping).status == 200;
        if (!up)
            QThread::msleep(50);
    }
    if (!up) {
        std::fprintf(stderr, "the program did not start\n");
        return;
    }

    // The first push fills the master; the same push again is the quiet one, and once more under the flood.
    pushSeconds(port, bodyFile);
    const double quiet = pushSeconds(port, bodyFile);

    std::atomic<bool> flooding{true};
    std::atomic<int> refusals{0};
    std::atomic<int> wrongAnswers{0};
    std::vector<std::thread> clients;
    const QByteArray wrongKey = "GET /info HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Sync-Key: OLDKEY234567\r\n\r\n";
    for (int i = 0; i < floodClients; ++i) {
        clients.emplace_back([&, i] {
            const quint32 source = (127u << 24) + 2 + quint32(i);
            while (flooding) {
                const bench::Answer answer = bench::blockingRequest(port, wrongKey, source);
                answer.status == 401 ? ++refusals : ++wrongAnswers;
            }
        });
    }
    std::vector<double> pings;
    std::thread pinger([&] {
        while (flooding) {
            const bench::Answer answer = bench::blockingRequest(port, ping);
            pings.push_back(answer.status == 200 ? answer.seconds : -1);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    QThread::msleep(2000);
    const double flooded = pushSeconds(port, bodyFile);
    // The file's growth is taken from here on, where only refusals come.
    QThread::msleep(500);
    const qint64 before = storeBytes(database);
    const int refusalsBefore = refusals;
    QThread::msleep(qMax(1000, seconds * 1000 - 2500 - int(flooded * 1000)));
    const qint64 after = storeBytes(database);
    const int refusalsMeasured = refusals - refusalsBefore;
    flooding = false;
    for (std::thread &client : clients)
        client.join();
    pinger.join();

    const QByteArray rows =
        run(QStringLiteral("sqlite3"),
            {database, "SELECT COUNT(*), COUNT(DISTINCT peer), MAX(n) FROM (SELECT peer, COUNT(*) AS n FROM sync_log "
                       "WHERE direction = '拒绝' GROUP BY peer, substr(createdAt, 1, 16))"})
            .trimmed();
    tovanik.terminate();
    tovanik.waitForFinished(30000);
    const QByteArray afterClose =
        run(QStringLiteral("sqlite3"), {database, "SELECT COUNT(*) FROM sync_log WHERE direction = '拒绝'"}).trimmed();

    std::sort(pings.begin(), pings.end());
    const int unanswered = int(std::count(pings.begin(), pings.end(), -1.0));
    const QList<QByteArray> counts = rows.split('|');
    std::printf("%d clients with a wrong key for %d s against the headless program, a push of %d items meanwhile\n",
                floodClients, seconds, itemCount);
    std::printf("  refusals answered %d (%.0f/s), other answers %d\n", refusals.load(),
                refusals.load() / double(seconds), wrongAnswers.load());
    std::printf("  push quiet %.2f s, under the flood %.2f s: %.2fx (target <= 1.2)\n", quiet, flooded,
                flooded / quiet);
    std::printf("  /ping: %zu sent, %d unanswered, median %.1f ms, slowest %.1f ms (target <= 50 ms)\n", pings.size(),
                unanswered, pings.empty() ? -1 : pings[pings.size() / 2] * 1000,
                pings.empty() ? -1 : pings.back() * 1000);
    std::printf("  refusal rows while running %s from %s addresses, at most %s per address and clock minute; "
                "%s after closing\n",
                counts.value(0).constData(), counts.value(1).constData(), counts.value(2).constData(),
                afterClose.constData());
    std::printf("  database and log after the push %.1f MB, %d refusals later %.1f MB: %.2f KB per 1,000 refusals\n",
                before / 1e6, refusalsMeasured, after / 1e6,
                (after - before) / 1e3 / qMax(1.0, refusalsMeasured / 1000.0));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QString program = QStringLiteral(TOVANIK_EXECUTABLE);
    int items = 20000;
    int seconds = 20;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--program" && i + 1 < argc)
            program = QString::fromLocal8Bit(argv[++i]);
        else if (QByteArray(argv[i]) == "--seconds" && i + 1 < argc)
            seconds = QByteArray(argv[++i]).toInt();
        else
            items = QByteArray(argv[i]).toInt();
    }
    measure(QFileInfo(program).absoluteFilePath(), items, seconds);
    return 0;
}
