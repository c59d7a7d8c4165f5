// The real program, window and all (offscreen), as a phone meets it after a large push: the program is
// started in a folder of its own on an empty master with its data page shown, a shop of N items is pushed
// by curl, and then
//  - "/ping" is sent again and again for the second after the push's answer, each timed;
//  - the resident memory is read once the page has shown the pushed rows, against the resting size;
//  - a second push is followed at once by an "/export", timed against `sqlite3 -json` printing the same rows.
// Prints the figures; run it by hand or through scripts/bench.sh program.
//   bench_program [items...] [--program PATH]     (default: 20000 100000, this build's tovanik)

#include "benchprogram.h"
#include "blockingrequest.h"
#include "datagen.h"
#include "tests/testnet.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

const QString syncKey = QStringLiteral("BENCHKEY2345");

double residentMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

// One "/ping", from another thread than the one that waits for curl; its seconds, or -1 when no whole
// answer came.
double pingSeconds(quint16 port)
{
    const bench::Answer answer = bench::blockingRequest(port, "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return answer.status == 200 ? answer.seconds : -1;
}

bool waitForPing(quint16 port)
{
    for (int i = 0; i < 200; ++i) {
        if (pingSeconds(port) >= 0)
            return true;
        QThread::msleep(50);
    }
    return false;
}

QByteArray run(const QString &program, const QStringList &args, int timeoutMs = 600000)
{
    QProcess process;
    process.start(program, args);
    process.waitForFinished(timeoutMs);
    return process.readAllStandardOutput();
}

void measure(const QString &program, int itemCount)
{
    QTemporaryDir folder;
    const quint16 port = testutil::freePort();
    const QString executable = benchprogram::deploy(program, folder.path(), port, syncKey);
    if (executable.isEmpty())
        return;

    const QByteArray body = QJsonDocument(datagen::snapshotDocument(itemCount)).toJson(QJsonDocument::Compact);
    const QString bodyFile = folder.filePath(QStringLiteral("push.json"));
    QFile pushFile(bodyFile);
    pushFile.open(QIODevice::WriteOnly);
    pushFile.write(body);
    pushFile.close();
    const double bodyMiB = body.size() / 1048576.0;

    QProcess tovanik;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    tovanik.setProcessEnvironment(environment);
    tovanik.setStandardOutputFile(QProcess::nullDevice());
    tovanik.setStandardErrorFile(QProcess::nullDevice());
    tovanik.start(executable, {});
    if (!tovanik.waitForStarted() || !waitForPing(port)) {
        std::fprintf(stderr, "the program did not start\n");
        return;
    }
    QThread::msleep(1000);
    const double resting = residentMiB(tovanik.processId());

    // Pings for the second after the answer, one after another, each waiting for its answer.
    std::atomic<bool> answered{false};
    std::vector<double> pings;
    // When the slowest ping was sent, in milliseconds after the answer.
    qint64 slowestSentAt = 0;
    std::thread pinger([&] {
        while (!answered)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        QElapsedTimer second;
        second.start();
        double slowest = 0;
        while (second.elapsed() < 1000) {
            const qint64 sentAt = second.elapsed();
            pings.push_back(pingSeconds(port));
            if (pings.back() > slowest) {
                slowest = pings.back();
                slowestSentAt = sentAt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const QList<QByteArray> pushed =
        run(QStringLiteral("curl"), {"-s", "-o", "/dev/null", "-w", "%{http_code} %{time_total}", "--noproxy", "*",
                                     "-H", "X-Sync-Key: " + syncKey, "-H", "Expect:", "--data-binary", "@" + bodyFile,
                                     QStringLiteral("http://127.0.0.1:%1/import").arg(port)})
            .split(' ');
    answered = true;
    pinger.join();
    const double pushSeconds = pushed.value(1).toDouble();

    QThread::msleep(1500);
    const double afterPush = residentMiB(tovanik.processId());

    // The same push again, and the pull that follows it at once, as a phone's sync does.
    run(QStringLiteral("curl"),
        {"-s", "-o", "/dev/null", "--noproxy", "*", "-H", "X-Sync-Key: " + syncKey, "-H", "Expect:", "--data-binary",
         "@" + bodyFile, QStringLiteral("http://127.0.0.1:%1/import").arg(port)});
    QElapsedTimer clock;
    clock.start();
    const QByteArray exported = run(QStringLiteral("curl"), {"-s", "--noproxy", "*", "-H", "X-Sync-Key: " + syncKey,
                                                             QStringLiteral("http://127.0.0.1:%1/export").arg(port)});
    const double exportSeconds = clock.nsecsElapsed() / 1e9;
    QStringList statements;
    for (const char *table : {"items", "transactions", "categories", "locations", "customers", "relations"})
        statements << QStringLiteral("SELECT * FROM %1 WHERE deleted = 0;").arg(QLatin1String(table));
    auto shell = [&] {
        clock.start();
        run(QStringLiteral("sqlite3"),
            {"-json", folder.filePath(QStringLiteral("data/plindor.db")), statements.join(' ')});
        return clock.nsecsElapsed() / 1e9;
    };
    const double shellSeconds = shell();
    QThread::msleep(1500);
    const double afterSecondPush = residentMiB(tovanik.processId());

    // At rest, best of three each, taken in turns.
    double restingExport = 1e9;
    double restingShell = 1e9;
    for (int i = 0; i < 3; ++i) {
        clock.start();
        run(QStringLiteral("curl"), {"-s", "--noproxy", "*", "-H", "X-Sync-Key: " + syncKey,
                                     QStringLiteral("http://127.0.0.1:%1/export").arg(port)});
        restingExport = std::min(restingExport, clock.nsecsElapsed() / 1e9);
        restingShell = std::min(restingShell, shell());
    }

    tovanik.terminate();
    tovanik.waitForFinished(30000);

    std::vector<double> sorted = pings;
    std::sort(sorted.begin(), sorted.end());
    const int failed = int(std::count(sorted.begin(), sorted.end(), -1.0));
    const double slowest = sorted.empty() ? -1 : sorted.back();
    std::printf("the program with its data page shown, a push of %d items (%.1f MiB) into an empty master\n", itemCount,
                bodyMiB);
    std::printf("  push answered %s in %.2f s\n", pushed.value(0).constData(), pushSeconds);
    std::printf("  /ping in the second after: %zu sent, %d unanswered, median %.1f ms, slowest %.1f ms sent %lld ms "
                "after the answer (%.3f of the push, target <= 0.1)\n",
                sorted.size(), failed, sorted.empty() ? -1 : sorted[sorted.size() / 2] * 1000, slowest * 1000,
                slowestSentAt, slowest / pushSeconds);
    std::printf("  resident memory %.1f MiB resting, %.1f MiB after the push and the refresh: +%.1f MiB, "
                "%.2fx the body (target <= 1.5)\n",
                resting, afterPush, afterPush - resting, (afterPush - resting) / bodyMiB);
    std::printf("  /export right after a second push %.2f s (%.1f MiB), sqlite3 -json of the same rows %.2f s: "
                "ratio %.2f (target <= 1.5)\n",
                exportSeconds, exported.size() / 1048576.0, shellSeconds, exportSeconds / shellSeconds);
    std::printf("  resident memory after the second push and its pull %.1f MiB: +%.1f MiB, %.2fx the body "
                "(target <= 1.5)\n",
                afterSecondPush, afterSecondPush - resting, (afterSecondPush - resting) / bodyMiB);
    std::printf("  /export at rest %.2f s, sqlite3 -json %.2f s, best of three each: ratio %.2f (target <= 1.3)\n",
                restingExport, restingShell, restingExport / restingShell);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QString program = QStringLiteral(TOVANIK_EXECUTABLE);
    QList<int> counts;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--program" && i + 1 < argc)
            program = QString::fromLocal8Bit(argv[++i]);
        else
            counts.append(QByteArray(argv[i]).toInt());
    }
    if (counts.isEmpty())
        counts = {20000, 100000};
    for (int count : std::as_const(counts))
        measure(QFileInfo(program).absoluteFilePath(), count);
    return 0;
}
