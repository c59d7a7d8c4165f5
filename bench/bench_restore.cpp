// Times a restore from a backup copy against a plain file copy of the same size, on a shop-sized
// database whose versions make it large: each version holds the whole snapshot document.
// Also times what the restore dialog reads of a copy: its row counts and its integrity check.
// Usage: bench_restore [versions, default 48: about 1 GB at 20,000 items; 200 make about 4 GB] [items, default 20000]
// Needs about four times the database's size free in the temporary folder while it runs; it removes everything.

#include "datagen.h"

#include "storage/database.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

// The shell's cp, then the same with the copy forced to disk as the restore does with its copy; three
// times each, since the machine is shared.
void plainCopies(const QString &from, const QString &to)
{
    for (const bool durable : {false, true}) {
        QStringList times;
        bool failed = false;
        for (int run = 0; run < 3; ++run) {
            QFile::remove(to);
            QElapsedTimer timer;
            timer.start();
            failed |= QProcess::execute(QStringLiteral("cp"), {from, to}) != 0;
            if (durable)
                failed |= QProcess::execute(QStringLiteral("sync"), {to}) != 0;
            times << QString::number(seconds(timer), 'f', 2);
        }
        std::printf("%-40s %s s%s\n", durable ? "cp + sync of the same file" : "cp of the same file",
                    qPrintable(times.join(QStringLiteral(" / "))), failed ? "  (FAILED)" : "");
    }
    QFile::remove(to);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int versions = argc > 1 ? QByteArray(argv[1]).toInt() : 48;
    const int items = argc > 2 ? QByteArray(argv[2]).toInt() : 20000;
    QTemporaryDir dir;
    Database &db = Database::instance();
    const QString path = dir.filePath(QStringLiteral("data/plindor.db"));
    QString error;
    if (!db.open(path, &error))
        qFatal("open failed: %s", qPrintable(error));

    QElapsedTimer timer;
    timer.start();
    db.merge(datagen::snapshotDocument(items));
    for (int i = 0; i < versions; ++i)
        db.saveVersion(QStringLiteral("基准 %1").arg(i + 1), QStringLiteral("bench"));
    const double filled = seconds(timer);
    // The daily backup three times: each run makes today's copy afresh.
    QString backup;
    QStringList backupTimes;
    for (int run = 0; run < 3; ++run) {
        if (!backup.isEmpty())
            QFile::remove(backup);
        timer.restart();
        backup = db.dailyBackup();
        if (backup.isEmpty())
            qFatal("no backup made");
        backupTimes << QString::number(seconds(timer), 'f', 2);
    }
    const qint64 size = QFileInfo(backup).size();
    std::printf("restore benchmark, %d items, %d versions: filled in %.1f s (in %s)\n", items, versions, filled,
                qPrintable(dir.path()));
    std::printf("%-40s %s s, %.3f GB\n\n", "daily backup", qPrintable(backupTimes.join(QStringLiteral(" / "))),
                double(size) / (1 << 30));

    plainCopies(backup, dir.filePath(QStringLiteral("plain.db")));

    QJsonObject counts;
    timer.restart();
    const bool read = Database::backupCounts(backup, &counts, &error);
    std::printf("%-40s %8.2f s  %s\n", "row counts of the copy (dialog)", seconds(timer),
                read ? qPrintable(QStringLiteral("items %1").arg(counts.value(QStringLiteral("items")).toInt()))
                     : qPrintable(error));
    timer.restart();
    const QString check = Database::quickCheck(backup);
    std::printf("%-40s %8.2f s  %s\n", "quick_check of the copy (dialog)", seconds(timer), qPrintable(check));

    // One line per stage, and the longest gap between two progress reports: how long the window waits for its events.
    QString stage;
    QElapsedTimer stageTimer;
    QElapsedTimer sinceReport;
    double longestGap = 0;
    int reports = 0;
    const auto endStage = [&] {
        if (!stage.isEmpty())
            std::printf("  %-38s %8.2f s\n", qPrintable(stage), seconds(stageTimer));
    };
    const auto progress = [&](const QString &now, qint64, qint64) {
        if (reports++ > 0)
            longestGap = qMax(longestGap, seconds(sinceReport));
        sinceReport.restart();
        if (now != stage) {
            endStage();
            stage = now;
            stageTimer.restart();
        }
    };
    bool restored = true;
    for (int run = 0; run < 2 && restored; ++run) {
        // Copies set aside are named by the second.
        QThread::msleep(1100);
        stage.clear();
        reports = 0;
        longestGap = 0;
        QString aside;
        timer.restart();
        restored = db.restoreFrom(backup, &aside, &error, progress);
        endStage();
        longestGap = qMax(longestGap, seconds(sinceReport));
        std::printf("%-40s %8.2f s  %s\n", "restoreFrom, in all", seconds(timer),
                    restored ? "restored" : qPrintable(error));
        std::printf("%-40s %8d, longest gap %.2f s\n", "progress reports", reports, longestGap);
    }
    db.close();
    return restored ? 0 : 1;
}
