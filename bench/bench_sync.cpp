// Speed and memory of the sync service on 127.0.0.1, with curl as the phone:
//  - "/export" of a 20,000-item database, against building the same document in-process plus fetching
//    the same bytes from a static file server (python3 -m http.server);
//  - "/import" of such a document: time, and the server's peak memory growth against the body size;
//  - the same push with curl's automatic "Expect: 100-continue" against one without it;
//  - a burst of "/ping" requests from 100 concurrent clients.
//
//   bench_sync [items]

#include "datagen.h"
#include "storage/database.h"
#include "storage/snapshotreader.h"
#include "sync/syncserver.h"
#include "tests/testnet.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <memory>
#include <vector>

namespace {

const QString syncKey = QStringLiteral("BENCHKEY2345");

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The phone's copy of the shop with every item edited since: a push of it rewrites all items.
QJsonObject editedOnPhone(QJsonObject document)
{
    QJsonArray items = document.value("items").toArray();
    for (qsizetype i = 0; i < items.size(); ++i) {
        QJsonObject item = items.at(i).toObject();
        item.insert("updatedAt", "2026-06-01 12:00:00");
        items.replace(i, item);
    }
    document.insert("items", items);
    return document;
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

// Lets VmHWM start again from the current resident size, once freed heap has gone back to the system.
void resetPeak()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
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
    resetPeak();
    const qint64 before = statusKiB("VmRSS:");
    QElapsedTimer clock;
    clock.start();
    figures.answer = runServing("curl", {"-s", "-H", "X-Sync-Key: " + syncKey, "-H", "Expect:", "--data-binary",
                                         "@" + bodyFile, QStringLiteral("http://127.0.0.1:%1/import").arg(port)});
    figures.seconds = clock.elapsed() / 1000.0;
    figures.peakGrowthKiB = statusKiB("VmHWM:") - before;
    return figures;
}

// One push by curl; its total seconds, or -1 when the answer is not a 200.
double pushSeconds(quint16 port, const QString &bodyFile, bool withExpect)
{
    QStringList args{"-s",
                     "-o",
                     "/dev/null",
                     "-w",
                     "%{http_code} %{time_total}",
                     "--noproxy",
                     "*",
                     "-H",
                     "X-Sync-Key: " + syncKey,
                     "--data-binary",
                     "@" + bodyFile,
                     QStringLiteral("http://127.0.0.1:%1/import").arg(port)};
    if (!withExpect)
        args << "-H"
             << "Expect:";
    const QList<QByteArray> figures = runServing("curl", args).split(' ');
    return figures.size() == 2 && figures.first() == "200" ? figures.last().toDouble() : -1;
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
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [socket, received] { *received += socket->readAll(); });
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
    const auto slow = std::count_if(latencies.begin(), latencies.end(), [](double ms) { return ms >= 1000; });
    std::printf("  latency ms: median %.2f, p99 %.2f, max %.2f; %d waited a second or more (target: none)\n",
                percentile(0.5), percentile(0.99), percentile(1.0), int(slow));
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
    const QJsonObject shop = datagen::snapshotDocument(itemCount);
    db.merge(shop);
    std::printf("database: %d items (filled in %.1f s), counts %s\n", itemCount, clock.elapsed() / 1000.0,
                QJsonDocument(db.counts()).toJson(QJsonDocument::Compact).constData());

    SyncServer server;
    server.setKey(syncKey);
    if (!server.start(testutil::freePort()))
        return 2;
    const QString exportUrl = QStringLiteral("http://127.0.0.1:%1/export").arg(server.port());

    // In-process: the document and its bytes, as /export builds them, and through QJsonDocument.
    QByteArray snapshot;
    std::vector<double> buildTimes;
    std::vector<double> objectTimes;
    for (int i = 0; i < 5; ++i) {
        clock.start();
        snapshot = QJsonDocument(db.snapshotDocument()).toJson(QJsonDocument::Compact);
        objectTimes.push_back(clock.nsecsElapsed() / 1e9);
        clock.start();
        snapshot = db.snapshotText();
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
    const quint16 staticPort = testutil::freePort();
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
    std::printf("/export: %.1f MB document; built from the rows in %.3f s, through QJsonDocument in %.3f s\n",
                snapshot.size() / 1e6, build, median(objectTimes));
    std::printf("  build in-process %.3f s + static server %.3f s = %.3f s; /export %.3f s (ratio %.2f, target <= 2)\n",
                build, staticTime, build + staticTime, exported, exported / (build + staticTime));

    // Import: the phone pushes its whole database, newer than the master's, so every row is written.
    // The master holds the same shop (a version of it is saved first), then an empty master is measured.
    const QByteArray pushed = QJsonDocument(editedOnPhone(shop)).toJson(QJsonDocument::Compact);
    const QString pushFile = folder.filePath("push.json");
    {
        QFile file(pushFile);
        file.open(QIODevice::WriteOnly);
        file.write(pushed);
    }
    snapshot.clear();
    snapshot.squeeze();
    const double bodyKiB = pushed.size() / 1024.0;

    const ImportFigures full = measureImport(server.port(), pushFile);
    std::printf(
        "/import of %.1f MB into a full master: %.2f s, peak memory growth %.1f MB (%.2fx the body, target < 4)\n",
        pushed.size() / 1e6, full.seconds, full.peakGrowthKiB / 1024.0, full.peakGrowthKiB / bodyKiB);
    std::printf("  answer: %s\n", full.answer.left(300).constData());

    // curl asks for leave before a body over 1 MiB; the answer must come at once, not after curl's 1 s wait.
    std::vector<double> withExpect;
    std::vector<double> withoutExpect;
    for (int i = 0; i < 5; ++i) {
        withExpect.push_back(pushSeconds(server.port(), pushFile, true));
        withoutExpect.push_back(pushSeconds(server.port(), pushFile, false));
    }
    std::printf(
        "/import of %.1f MB with curl's automatic Expect: %.2f s, with 'Expect:' %.2f s (ratio %.2f, target <= 1.1)\n",
        pushed.size() / 1e6, median(withExpect), median(withoutExpect), median(withExpect) / median(withoutExpect));

    // The share of that peak which is the version saved before the merge: a snapshot of the master.
    resetPeak();
    qint64 before = statusKiB("VmRSS:");
    db.saveVersion(QStringLiteral("bench"), QStringLiteral("bench"));
    std::printf("  of which saveVersion of the master alone: peak memory growth %.1f MB\n",
                (statusKiB("VmHWM:") - before) / 1024.0);
    resetPeak();
    before = statusKiB("VmRSS:");
    {
        const QJsonDocument parsed = QJsonDocument::fromJson(pushed);
        std::printf(
            "  parsing the body whole with QJsonDocument (no longer done): peak memory growth %.1f MB (%d items)\n",
            (statusKiB("VmHWM:") - before) / 1024.0, int(parsed["items"].toArray().size()));
    }
    resetPeak();
    before = statusKiB("VmRSS:");
    {
        clock.start();
        const SnapshotReader reader(pushed);
        std::printf("  checking the body with SnapshotReader: %.2f s, peak memory growth %.1f MB (%d items)\n",
                    clock.elapsed() / 1000.0, (statusKiB("VmHWM:") - before) / 1024.0, int(reader.size("items")));
    }
    {
        // The reader's worst case: a body of the smallest elements it keeps.
        QByteArray tiny("{\"items\":[");
        while (tiny.size() < pushed.size())
            tiny.append("{\"a\":0},");
        tiny.append("{\"a\":0}]}");
        resetPeak();
        before = statusKiB("VmRSS:");
        clock.start();
        const SnapshotReader reader(tiny);
        std::printf(
            "  SnapshotReader on %.1f MB of tiny elements: %.2f s, peak memory growth %.1f MB (%.2fx, %d elements)\n",
            tiny.size() / 1e6, clock.elapsed() / 1000.0, (statusKiB("VmHWM:") - before) / 1024.0,
            (statusKiB("VmHWM:") - before) * 1024.0 / tiny.size(), int(reader.size("items")));
    }

    db.close();
    if (!db.open(folder.filePath("empty/plindor.db"), &error))
        return 2;
    const ImportFigures empty = measureImport(server.port(), pushFile);
    std::printf("/import into an empty master: %.2f s, peak memory growth %.1f MB (%.2fx the body)\n", empty.seconds,
                empty.peakGrowthKiB / 1024.0, empty.peakGrowthKiB / bodyKiB);
    std::printf("  answer: %s\n", empty.answer.left(300).constData());

    pingBurst(server.port(), 100, 50);
    return 0;
}
