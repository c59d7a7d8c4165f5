// Compares two versions of a shop as the comparison window does, and restores chosen rows of the older.
//  - the comparison of two versions that differ in 1% of their rows, and in all of them: from the window's
//    opening to its summary shown, the window's longest stall meanwhile, and the peak memory above rest
//    against the two snapshots' text;
//  - scrolling through every compared row, the longest step;
//  - restoring 1,000 chosen rows against storing one version.
// Usage: bench_versiondiff [items, default 100000; twice as many transactions]

#include "benchfigures.h"
#include "datagen.h"

#include "storage/database.h"
#include "storage/restoreplanner.h"
#include "ui/versioncomparedialog.h"
#include "ui/versiondiffmodel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QScrollBar>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

using benchfigures::Heartbeat;

// Changes every n-th item and transaction as a phone's push would: new names and quantities, new stamps.
void changeEveryNth(int n, const QString &stamp)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
    const QString every = n > 1 ? QStringLiteral(" WHERE rowid % %1 = 0").arg(n) : QString();
    query.exec(QStringLiteral("UPDATE items SET name = name || ' 改', quantity = quantity + 1, updatedAt = '%1', "
                              "serverUpdatedAt = '%1'%2")
                   .arg(stamp, every));
    query.exec(
        QStringLiteral("UPDATE transactions SET quantity = quantity + 1, serverUpdatedAt = '%1'%2").arg(stamp, every));
}

int newestVersion()
{
    return Database::instance().listVersions(1).first().id;
}

void compareInWindow(const char *what, int older, int newer, qint64 textBytes)
{
    Heartbeat heartbeat;
    QApplication::processEvents();
    benchfigures::resetPeak();
    const qint64 rest = benchfigures::statusKb("VmRSS");
    heartbeat.reset();
    QElapsedTimer timer;
    timer.start();
    auto *dialog = new VersionCompareDialog(older, newer, nullptr);
    dialog->show();
    // The event loop sleeps between events, as the program's does.
    while (!dialog->isIdle()) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QApplication::processEvents();
    const double shown = double(timer.nsecsElapsed()) / 1e9;
    const qint64 stall = heartbeat.longestMs();
    const qint64 peak = benchfigures::statusKb("VmHWM") - rest;
    std::printf("%s: shown in %.2f s (target <= 1.5 s), window's longest stall %lld ms (target <= 50 ms),\n"
                "  peak memory +%.0f MB above rest = %.2f x the two snapshots' %.0f MB of text (target <= 2x)\n"
                "  summary: %s\n",
                what, shown, static_cast<long long>(stall), peak / 1024.0, peak * 1024.0 / double(textBytes),
                textBytes / 1048576.0,
                qPrintable(dialog->summary()->text().replace(QLatin1Char('\n'), QStringLiteral(" / "))));

    // Every row painted from the top to the bottom, in 50 steps.
    QTableView *view = dialog->rowsView();
    QScrollBar *bar = view->verticalScrollBar();
    qint64 longestStep = 0;
    for (int step = 0; step <= 50; ++step) {
        QElapsedTimer stepTimer;
        stepTimer.start();
        bar->setValue(int(qint64(bar->maximum()) * step / 50));
        view->viewport()->repaint();
        longestStep = qMax(longestStep, stepTimer.elapsed());
    }
    std::printf("  scrolling %d rows top to bottom in 50 steps: longest step %lld ms\n",
                dialog->rowsModel()->rowCount(), static_cast<long long>(longestStep));
    delete dialog;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int items = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    QTemporaryDir dir;
    Database &db = Database::instance();
    QString error;
    if (!db.open(dir.filePath(QStringLiteral("data/plindor.db")), &error))
        qFatal("open failed: %s", qPrintable(error));
    db.merge(datagen::snapshotDocument(items));
    db.saveVersion(QStringLiteral("基准 甲"), QStringLiteral("bench"));
    const int first = newestVersion();
    changeEveryNth(100, QStringLiteral("2030-01-01 00:00:00"));
    db.saveVersion(QStringLiteral("基准 乙"), QStringLiteral("bench"));
    const int second = newestVersion();
    changeEveryNth(1, QStringLiteral("2030-02-01 00:00:00"));
    db.saveVersion(QStringLiteral("基准 丙"), QStringLiteral("bench"));
    const int third = newestVersion();

    QList<QByteArray> texts;
    QElapsedTimer stage;
    stage.start();
    if (!Database::readSnapshots(db.fileName(), {first, second, third}, &texts, &error))
        qFatal("reading failed: %s", qPrintable(error));
    const double read = double(stage.nsecsElapsed()) / 1e9 / 3;
    std::printf("version diff benchmark, %d items, %d transactions, snapshots of %.0f MB each "
                "(shared machine: timings are noisy)\n",
                items, items * 2, texts.at(0).size() / 1048576.0);
    const qint64 pairBytes = texts.at(0).size() + texts.at(1).size();
    stage.restart();
    const VersionDiff onePercent = VersionDiff::compare(texts.at(0), texts.at(1));
    const double compared = double(stage.nsecsElapsed()) / 1e9;
    stage.restart();
    VersionDiff::compare(texts.at(1), texts.at(2));
    std::printf("  reading one version %.2f s; comparing, texts read: %.2f s at 1%%, %.2f s for every row\n", read,
                compared, double(stage.nsecsElapsed()) / 1e9);
    texts.clear();

    compareInWindow("1% of the rows differ", first, second, pairBytes);
    compareInWindow("every row differs", second, third, pairBytes);

    // 1,000 chosen rows of the 1% comparison, against the data now.
    QList<QByteArray> now;
    Database::readSnapshots(db.fileName(), {0}, &now, nullptr);
    const SnapshotReader current(now.at(0), SnapshotReader::Check::Layout);
    RestorePlanner planner(onePercent, current);
    for (const TableDiff &table : onePercent.tables()) {
        for (int row = 0; row < table.rows.size() && planner.plan().rowCount() < 1000; ++row)
            planner.choose(table.table, row);
    }
    PartialRestore plan = planner.plan();
    plan.versionId = first;
    QElapsedTimer timer;
    timer.start();
    db.saveVersion(QStringLiteral("基准 存档"), QStringLiteral("bench"));
    const double version = double(timer.nsecsElapsed()) / 1e9;
    timer.restart();
    const bool restored = db.restoreRows(plan, &error);
    const double restore = double(timer.nsecsElapsed()) / 1e9;
    std::printf("restoring %d chosen rows: %.2f s, storing one version: %.2f s, ratio %.2f (target <= 2)%s\n",
                plan.rowCount(), restore, version, restore / version, restored ? "" : qPrintable(" FAILED: " + error));
    db.close();
    return restored ? 0 : 1;
}
