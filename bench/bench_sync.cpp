// Speed and memory of the sync service on 127.0.0.1, with curl as the phone:
//  - "/export" of a 20,000-item database, against building the same document in-process plus fetching
//    the same bytes from a static file server (python3 -m http.server);
//  - "/import" of such a document: time, and the server's peak memory growth against the body size;
//  - a burst of "/ping" requests from concurrent clients.
//
//   bench_sync [items]

#include "storage/database.h"
#include "sync/syncserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

const QString syncKey = QStringLiteral("BENCHKEY2345");

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// A shop of the given size: items spread over categories and locations, with customers, stock
// movements and a few relations.
void fillDatabase(Database &db, int itemCount, const QString &updatedAt)
{
    QRandomGenerator random(42);
    QSqlDatabase connection = QSqlDatabase::database(QStringLiteral("plindor"));
    connection.transaction();
    const int categoryCount = 200;
    const int locationCount = 100;
    const int customerCount = 500;
    for (int i = 0; i < categoryCount; ++i)
        db.upsert("categories",
                  {{"id", QStringLiteral("cat-%1").arg(i)},
                   {"name", QStringLiteral("分类%1").arg(i)},
                   {"parentId", i < 20 ? QString() : QStringLiteral("cat-%1").arg(i % 20)},
                   {"createdAt", "2025-06-01 08:00:00"}},
                  nullptr);
    for (int i = 0; i < locationCount; ++i)
        db.upsert("locations",
                  {{"id", QStringLiteral("loc-%1").arg(i)},
                   {"name", QStringLiteral("货架 %1 层").arg(i)},
                   {"description", QStringLiteral("仓库东侧")},
                   {"createdAt", "2025-06-01 08:00:00"}},
                  nullptr);
    for (int i = 0; i < customerCount; ++i)
        db.upsert("customers",
                  {{"id", QStringLiteral("cust-%1").arg(i)},
                   {"name", QStringLiteral("客户%1").arg(i)},
                   {"phone", QStringLiteral("138%1").arg(10000000 + i)},
                   {"address", QStringLiteral("江苏省苏州市工业园区星湖街 %1 号").arg(i)},
                   {"createdAt", "2025-06-01 08:00:00"}},
                  nullptr);
    for (int i = 0; i < itemCount; ++i) {
        const QString id = QStringLiteral("item-%1").arg(i);
        db.upsert("items",
                  {{"id", id},
                   {"barcode", QString::number(6900000000000LL + i)},
                   {"name", QStringLiteral("不锈钢六角螺栓 M%1×%2").arg(3 + i % 20).arg(10 + i % 90)},
                   {"categoryId", QStringLiteral("cat-%1").arg(random.bounded(categoryCount))},
                   {"locationId", QStringLiteral("loc-%1").arg(random.bounded(locationCount))},
                   {"quantity", random.bounded(1000)},
                   {"unitPrice", random.bounded(10000) / 100.0},
                   {"expectedOutPrice", random.bounded(20000) / 100.0},
                   {"shortcode", QStringLiteral("LS%1").arg(i)},
                   {"pinyin", "buxiugangliujiaoluoshuan"},
                   {"createdAt", "2025-06-01 08:00:00"},
                   {"updatedAt", updatedAt}},
                  nullptr);
        db.upsert("transactions",
                  {{"id", QStringLiteral("tx-%1").arg(i)},
                   {"itemId", id},
                   {"type", i % 3 ? "out" : "in"},
                   {"quantity", 1 + random.bounded(20)},
                   {"unitPrice", random.bounded(10000) / 100.0},
                   {"customerId", QStringLiteral("cust-%1").arg(random.bounded(customerCount))},
                   {"status", "done"},
                   {"createdAt", "2025-07-01 09:30:00"}},
                  nullptr);
        if (i % 20 == 0)
            db.upsert("relations",
                      {{"id", QStringLiteral("rel-%1").arg(i)},
                       {"itemId", id},
                       {"relatedItemId", QStringLiteral("item-%1").arg((i + 1) % itemCount)},
                       {"quantity", 2}},
                      nullptr);
    }
    connection.commit();
}

// Runs a program to its end while this thread's event loop keeps serving.
QByteArray runServing(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    process.waitForStarted();
    while (process.state() != QProcess::NotRunning)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return process.readAllStandardOutput();
}

// curl's own measure of a transfer: total seconds.
double curlSeconds(const QStringList &args)
{
    return runServing("curl", QStringList{"-s", "-o", "/dev/null", "-w", "%{time_total}"} + args).toDouble();
}

qint64 statusKiB(const char *field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Lets VmHWM start again from the current resident size.
void resetPeak()
{
    QFile clear("/proc/self/clear_refs");
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

bool waitForPort(quint16 port)
{
    for (int i = 0; i < 100; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(100))
            return true;
        QThread::msleep(50);
    }
    return false;
}

struct ImportFigures
{
    double seconds = 0;
    qint64 peakGrowthKiB = 0;
    QByteArray answer;
};

ImportFigures measureImport(quint16 port, const QString &bodyFile)
{
    ImportFigures figures;
    const qint64 before = statusKiB("VmRSS:");
    resetPeak();
    QElapsedTimer clock;
    clock.start();
    figures.answer = runServing("curl", {"-s", "-H", "X-Sync-Key: " + syncKey, "-H", "Expect:", "--data-binary",
                                         "@" + bodyFile, QStringLiteral("http://127.0.0.1:%1/import").arg(port)});
    figures.seconds = clock.elapsed() / 1000.0;
    figures.peakGrowthKiB = statusKiB("VmHWM:") - before;
    return figures;
}

void pingBurst(quint16 port, int clients, int perClient)
{
    struct Client
    {
        std::unique_ptr<QTcpSocket> socket;
        int left = 0;
        QElapsedTimer clock;
    };
    std::vector<Client> pool(clients);
    std::vector<double> latencies;
    int answered = 0;
    int wrong = 0;
    const QByteArray request = "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

    std::function<void(Client &)> next = [&](Client &c) {
        if (c.left-- <= 0)
            return;
        c.socket = std::make_unique<QTcpSocket>();
        QTcpSocket *socket = c.socket.get();
        auto received = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::connected, socket, [socket, &request] { socket->write(request); });
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, received] { *received += socket->readAll(); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [&, socket, received] {
            *received += socket->readAll();
            latencies.push_back(c.clock.nsecsElapsed() / 1e6);
            ++answered;
            wrong += received->startsWith("HTTP/1.1 200 OK") ? 0 : 1;
            socket->deleteLater();
            c.socket.release();
            next(c);
        });
        c.clock.start();
        socket->connectToHost(QHostAddress::LocalHost, port);
    };

    QElapsedTimer wall;
    wall.start();
    for (Client &c : pool) {
        c.left = perClient;
        next(c);
    }
    const int total = clients * perClient;
    while (answered < total && wall.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    const double seconds = wall.elapsed() / 1000.0;
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) { return latencies.empty() ? 0 : latencies[size_t(p * (latencies.size() - 1))]; };
    std::printf("/ping burst: %d clients x %d requests: %d answered (%d wrong) in %.2f s, %.0f requests/s\n", clients,
                perClient, answered, wrong, seconds, answered / seconds);
    std::printf("  latency ms: median %.2f, p99 %.2f, max %.2f\n", percentile(0.5), percentile(0.99), percentile(1.0));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int itemCount = argc > 1 ? QByteArray(argv[1]).toInt() : 20000;
    QTemporaryDir folder;
    Database &db = Database::instance();
    QString error;
    if (!db.open(folder.filePath("master/plindor.db"), &error)) {
        std::fprintf(stderr, "open failed: %s\n", qPrintable(error));
        return 2;
    }
    QElapsedTimer clock;
    clock.start();
    fillDatabase(db, itemCount, "2025-06-01 08:00:00");
    std::printf("database: %d items (filled in %.1f s), counts %s\n", itemCount, clock.elapsed() / 1000.0,
                QJsonDocument(db.counts()).toJson(QJsonDocument::Compact).constData());

    SyncServer server;
    server.key = syncKey;
    if (!server.start(freePort()))
        return 2;
    const QString exportUrl = QStringLiteral("http://127.0.0.1:%1/export").arg(server.port);

    // In-process: the document and its bytes.
    QByteArray snapshot;
    std::vector<double> buildTimes;
    for (int i = 0; i < 5; ++i) {
        clock.start();
        snapshot = QJsonDocument(db.snapshotDocument()).toJson(QJsonDocument::Compact);
        buildTimes.push_back(clock.nsecsElapsed() / 1e9);
    }
    const QString snapshotFile = folder.filePath("static/snapshot.json");
    QDir().mkpath(folder.filePath("static"));
    {
        QFile file(snapshotFile);
        file.open(QIODevice::WriteOnly);
        file.write(snapshot);
    }

    // The same bytes from a static file server.
    const quint16 staticPort = freePort();
    QProcess staticServer;
    staticServer.setWorkingDirectory(folder.filePath("static"));
    staticServer.setStandardOutputFile(QProcess::nullDevice());
    staticServer.setStandardErrorFile(QProcess::nullDevice());
    staticServer.start("python3", {"-m", "http.server", QString::number(staticPort), "--bind", "127.0.0.1"});
    double staticTime = -1;
    if (waitForPort(staticPort)) {
        std::vector<double> times;
        for (int i = 0; i < 5; ++i)
            times.push_back(curlSeconds({QStringLiteral("http://127.0.0.1:%1/snapshot.json").arg(staticPort)}));
        staticTime = median(times);
    }
    staticServer.kill();
    staticServer.waitForFinished();

    std::vector<double> exportTimes;
    for (int i = 0; i < 5; ++i)
        exportTimes.push_back(curlSeconds({"-H", "X-Sync-Key: " + syncKey, exportUrl}));
    const double build = median(buildTimes);
    const double exported = median(exportTimes);
    std::printf("/export: %.1f MB document\n", snapshot.size() / 1e6);
    std::printf("  build in-process %.3f s + static server %.3f s = %.3f s; /export %.3f s (ratio %.2f, target <= 2)\n",
                build, staticTime, build + staticTime, exported, exported / (build + staticTime));

    // Import: the phone pushes its whole database, newer than the master's, so every row is written.
    // The master holds the same shop (a version of it is saved first), then an empty master is measured.
    QByteArray pushed = snapshot;
    pushed.replace("\"updatedAt\":\"2025-06-01 08:00:00\"", "\"updatedAt\":\"2026-01-01 08:00:00\"");
    const QString pushFile = folder.filePath("push.json");
    {
        QFile file(pushFile);
        file.open(QIODevice::WriteOnly);
        file.write(pushed);
    }
    snapshot.clear();
    snapshot.squeeze();
    const double bodyKiB = pushed.size() / 1024.0;

    const ImportFigures full = measureImport(server.port, pushFile);
    std::printf("/import of %.1f MB into a full master: %.2f s, peak memory growth %.1f MB (%.2fx the body, target < 4)\n",
                pushed.size() / 1e6, full.seconds, full.peakGrowthKiB / 1024.0, full.peakGrowthKiB / bodyKiB);
    std::printf("  answer: %s\n", full.answer.left(300).constData());

    db.close();
    if (!db.open(folder.filePath("empty/plindor.db"), &error))
        return 2;
    const ImportFigures empty = measureImport(server.port, pushFile);
    std::printf("/import into an empty master: %.2f s, peak memory growth %.1f MB (%.2fx the body)\n", empty.seconds,
                empty.peakGrowthKiB / 1024.0, empty.peakGrowthKiB / bodyKiB);
    std::printf("  answer: %s\n", empty.answer.left(300).constData());

    pingBurst(server.port, 50, 40);
    return 0;
}
