// Times what the storage card and the kept numbers cost on a database whose versions make it large:
// the card's figures (on the GUI thread, every 15 seconds and after each change), pruning the history
// to fewer versions, and compaction against the sqlite3 shell's VACUUM of the same file.
// Usage: bench_storagespace [versions, default 200] [items, default 20000] [kept, default 50]
// 200 versions of 20,000 items are about 4 GB; it needs twice that free in the temporary folder.

#include "datagen.h"

#include "storage/database.h"
#include "storage/diskspace.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

QString sizeOf(const QString &path)
{
    return diskspace::formatSize(QFileInfo(path).size());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int versions = argc > 1 ? QByteArray(argv[1]).toInt() : 200;
    const int items = argc > 2 ? QByteArray(argv[2]).toInt() : 20000;
    const int kept = argc > 3 ? QByteArray(argv[3]).toInt() : 50;
    QTemporaryDir dir;
    Database &db = Database::instance();
    const QString path = dir.filePath(QStringLiteral("data/plindor.db"));
    QString error;
    if (!db.open(path, &error))
        qFatal("open failed: %s", qPrintable(error));
    db.setRetention(qMax(versions, 10), 30);

    QElapsedTimer timer;
    timer.start();
    db.merge(datagen::snapshotDocument(items));
    for (int i = 0; i < versions; ++i) {
        if (!db.saveVersion(QStringLiteral("基准 %1").arg(i + 1), QStringLiteral("bench"), &error))
            qFatal("version %d not stored: %s", i + 1, qPrintable(error));
    }
    std::printf("storage space benchmark, %d items, %d versions: filled in %.1f s, file %s (in %s)\n", items, versions,
                milliseconds(timer) / 1000, qPrintable(sizeOf(path)), qPrintable(dir.path()));

    // The card's figures, as the GUI thread reads them.
    QList<double> times;
    StorageFigures figures;
    for (int run = 0; run < 21; ++run) {
        timer.restart();
        figures = db.storageFigures();
        times << milliseconds(timer);
    }
    std::sort(times.begin(), times.end());
    std::printf("%-36s median %.2f ms, slowest %.2f ms\n", "figures for the card", times.at(times.size() / 2),
                times.last());
    std::printf("  %s\n", qPrintable(figures.summary()));

    timer.restart();
    const Retention plan = db.retentionPlan(kept, 30);
    std::printf("%-36s %8.2f ms  (%d versions, about %s)\n", "plan of the question", milliseconds(timer), plan.versions,
                qPrintable(diskspace::formatSize(plan.versionBytes)));
    timer.restart();
    const Retention done = db.setRetention(kept, 30);
    std::printf("%-36s %8.2f ms  (%d versions removed%s)\n", qPrintable(QStringLiteral("pruning to %1").arg(kept)),
                milliseconds(timer), done.versions,
                done.error.isEmpty() ? "" : qPrintable(QStringLiteral(", ") + done.error));

    // The sqlite3 shell's VACUUM on a copy of the same file, then the program's compaction.
    if (!db.emptyLog(&error))
        qFatal("log not emptied: %s", qPrintable(error));
    const QString shellCopy = dir.filePath(QStringLiteral("shell.db"));
    if (!QFile::copy(path, shellCopy))
        qFatal("copy failed");
    timer.restart();
    const int shell = QProcess::execute(QStringLiteral("sqlite3"), {shellCopy, QStringLiteral("VACUUM")});
    const double shellTime = milliseconds(timer);
    std::printf("%-36s %8.2f s  %s -> %s%s\n", "sqlite3 x.db VACUUM", shellTime / 1000, qPrintable(sizeOf(path)),
                qPrintable(sizeOf(shellCopy)), shell == 0 ? "" : "  (FAILED or no sqlite3)");
    QFile::remove(shellCopy);

    qint64 before = 0;
    qint64 after = 0;
    timer.restart();
    const bool compacted = db.compact(&before, &after, &error);
    const double ours = milliseconds(timer);
    std::printf("%-36s %8.2f s  %s -> %s%s\n", "compact (VACUUM INTO + replace)", ours / 1000,
                qPrintable(diskspace::formatSize(before)), qPrintable(diskspace::formatSize(after)),
                compacted ? "" : qPrintable(QStringLiteral("  ") + error));
    if (shell == 0)
        std::printf("%-36s %8.2f\n", "compact / sqlite3 VACUUM", ours / shellTime);
    db.close();
    return compacted ? 0 : 1;
}
