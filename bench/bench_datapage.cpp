// The data page over 20,000 and 100,000 items (a 500-node category tree and a 200-node location tree),
// against reading the same rows from SQLite alone: a refresh after a phone changed a row, a refresh after
// another table was shown, a search keystroke, and the resident memory the page takes for the table
// against the size of the rows as a snapshot document. Prints the figures; run it by hand or through
// scripts/bench.sh.
// Usage: bench_datapage [items...]       (default: 20000 100000)
//        bench_datapage once [items]     each measured step once, inside its own profiled() call:
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*profiled*' bench_datapage once 20000

#include "app/paths.h"
#include "app/programcore.h"
#include "storage/database.h"
#include "storage/rowtable.h"
#include "storage/storagethread.h"
#include "tests/testutil.h"
#include "ui/datapage.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

constexpr int categoryCount = 500;
constexpr int locationCount = 200;
constexpr int runs = 5;

void prepareProgramFolder()
{
    QDir(QFileInfo(databasePath()).absolutePath()).removeRecursively();
    QFile file(configPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(
            QJsonDocument(QJsonObject{{"syncPort", testutil::freePort()}, {"publicHost", "203.0.113.9"}}).toJson());
    }
}

// A tree of `count` nodes: the first tenth are roots, every other node hangs below an earlier one.
void insertTree(const QString &table, const QString &prefix, int count, QRandomGenerator &random)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
    query.prepare(QStringLiteral("INSERT INTO %1 (id, name, parentId, createdAt, fullPath, serverUpdatedAt, deleted) "
                                 "VALUES (?, ?, ?, '2024-01-01 00:00:00', '', '2024-01-01 00:00:00', 0)")
                      .arg(table));
    const int roots = count / 10;
    for (int i = 0; i < count; ++i) {
        query.addBindValue(prefix + QString::number(i));
        query.addBindValue(QStringLiteral("%1节点%2").arg(prefix).arg(i));
        query.addBindValue(i < roots ? QString() : prefix + QString::number(random.bounded(i)));
        query.exec();
    }
}

void insertItems(int itemCount, QRandomGenerator &random)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("plindor")));
    query.prepare(QStringLiteral(
        "INSERT INTO items (id, barcode, name, categoryId, locationId, quantity, unitPrice, expectedOutPrice, shortcode, "
        "pinyin, imagePath, createdAt, updatedAt, categoryPath, locationPath, serverUpdatedAt, deleted) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, '', '2024-01-01 00:00:00', '2024-01-01 00:00:00', '', '', "
        "'2024-01-01 00:00:00', 0)"));
    for (int i = 0; i < itemCount; ++i) {
        query.addBindValue(QStringLiteral("item-%1").arg(i));
        query.addBindValue(QStringLiteral("69%1").arg(i, 11, 10, QLatin1Char('0')));
        query.addBindValue(QStringLiteral("零件%1").arg(i));
        query.addBindValue(QStringLiteral("cat") + QString::number(random.bounded(categoryCount)));
        query.addBindValue(QStringLiteral("loc") + QString::number(random.bounded(locationCount)));
        query.addBindValue(i % 50);
        query.addBindValue((i % 1000) / 4.0);
        query.addBindValue((i % 700) / 3.0);
        query.addBindValue(QStringLiteral("S%1").arg(i));
        query.addBindValue(QStringLiteral("lingjian%1").arg(i));
        query.exec();
    }
}

// Fills a fresh program folder's database before the window opens it on its storage thread.
void fill(int itemCount)
{
    Database &db = Database::instance();
    QString error;
    if (!db.open(databasePath(), &error)) {
        std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(databasePath()), qPrintable(error));
        std::exit(1);
    }
    {
        QSqlDatabase connection = QSqlDatabase::database(QStringLiteral("plindor"));
        QRandomGenerator random(20240101);
        connection.transaction();
        insertTree(QStringLiteral("categories"), QStringLiteral("cat"), categoryCount, random);
        insertTree(QStringLiteral("locations"), QStringLiteral("loc"), locationCount, random);
        insertItems(itemCount, random);
        connection.commit();
    }
    db.close();
}

// The window over the filled folder, once its database is open and the page shows what it read.
void settle(MainWindow &window)
{
    if (!testutil::settle(window)) {
        std::fprintf(stderr, "the window did not settle\n");
        std::exit(1);
    }
}

double medianMs(const std::function<void()> &prepare, const std::function<void()> &work)
{
    QList<double> times;
    for (int i = 0; i < runs; ++i) {
        prepare();
        QApplication::processEvents();
        QElapsedTimer timer;
        timer.start();
        work();
        QApplication::processEvents();
        times.append(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times.at(runs / 2);
}

// One step and the event processing it causes (painting included), kept out of line so that a profiler
// shows each step on its own. Written by each step, so that the optimiser does not fold them into one.
volatile int profiledStep = 0;

template<int step>
Q_NEVER_INLINE void profiled(const std::function<void()> &work)
{
    profiledStep = step;
    work();
    QApplication::processEvents();
}

// Resident memory in MiB, with what the allocator holds free given back first.
double residentMiB()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

// A phone's push that changes one item, merged on the storage thread: the page must read the table again.
void changeOneItem(MainWindow &window, int n)
{
    const QJsonObject item{{"id", QStringLiteral("item-%1").arg(n)},
                           {"name", QStringLiteral("手机改名%1").arg(n)},
                           {"updatedAt", QStringLiteral("2030-01-01 00:%1:00").arg(n % 60, 2, 10, QLatin1Char('0'))}};
    StorageThread *storage = window.programCore().storage();
    storage->post([item] { Database::instance().merge(QJsonObject{{"items", QJsonArray{item}}}); });
    storage->waitForIdle();
    settle(window);
}

// Waits for the page to have read and shown what it was asked for.
void shown(const testutil::WindowParts &t)
{
    QApplication::processEvents();
    while (t.dataPage->isReading())
        QApplication::processEvents(QEventLoop::AllEvents, 1);
    QApplication::processEvents();
}

void showTable(const testutil::WindowParts &t, const QString &key)
{
    t.dataPage->tableChooser()->setCurrentIndex(t.dataPage->tableChooser()->findData(key));
    shown(t);
}

void profile(int itemCount)
{
    prepareProgramFolder();
    fill(itemCount);
    MainWindow window;
    const testutil::WindowParts t(window);
    window.show();
    settle(window);
    showTable(t, QStringLiteral("customers"));
    profiled<1>([&t] { showTable(t, QStringLiteral("items")); });
    changeOneItem(window, 1);
    profiled<2>([&t] {
        t.dataPage->refresh(true);
        shown(t);
    });
    profiled<3>([&t] {
        t.dataPage->searchField()->setText(QStringLiteral("零件1"));
        shown(t);
    });
    profiled<4>([] { Database::instance().rows(QStringLiteral("items")); });
    std::printf("1 refresh after another table, 2 refresh after a push, 3 keystroke, 4 rows(\"items\") afresh\n");
}

void measure(int itemCount)
{
    prepareProgramFolder();
    fill(itemCount);
    MainWindow window;
    const testutil::WindowParts t(window);
    window.show();
    settle(window);
    QTableView *table = t.dataPage->view();

    // The page shows a small table while the resting size is taken.
    showTable(t, QStringLiteral("customers"));
    const double resting = residentMiB();
    showTable(t, QStringLiteral("items"));
    const double holding = residentMiB();

    const double read = medianMs([] {}, [] { Database::instance().rows(QStringLiteral("items")); });
    const double compact = medianMs([] {},
                                    [] {
                                        RowTable rows;
                                        Database::instance().readTable(QStringLiteral("items"), &rows);
                                    });
    // The sqlite3 shell reading the same rows, in a process of its own, its output thrown away.
    const double shell =
        medianMs([] {},
                 [] {
                     QProcess sqlite;
                     sqlite.setStandardOutputFile(QProcess::nullDevice());
                     sqlite.start(QStringLiteral("sqlite3"), {Database::instance().fileName(),
                                                              QStringLiteral("SELECT * FROM items WHERE deleted = 0")});
                     sqlite.waitForFinished(-1);
                 });

    table->setCurrentIndex(table->model()->index(itemCount / 2, 0));
    table->scrollTo(table->currentIndex());
    int push = 0;
    const double pushed = medianMs([&window, &push] { changeOneItem(window, ++push); },
                                   [&t] {
                                       t.dataPage->refresh(true);
                                       shown(t);
                                   });
    const bool placeKept = t.dataPage->currentRowId() == QStringLiteral("item-%1").arg(itemCount / 2);
    const double unchanged = medianMs([] {},
                                      [&t] {
                                          t.dataPage->refresh(true);
                                          shown(t);
                                      });

    const double cold =
        medianMs([&t] { showTable(t, QStringLiteral("customers")); }, [&t] { showTable(t, QStringLiteral("items")); });

    const double keystroke = medianMs(
        [&t] {
            t.dataPage->searchField()->setText(QStringLiteral("零件"));
            shown(t);
        },
        [&t] {
            t.dataPage->searchField()->setText(QStringLiteral("零件1"));
            shown(t);
        });
    const int searchRows = testutil::rowCount(table);
    t.dataPage->searchField()->clear();
    QApplication::processEvents();
    const double afterSearch = residentMiB();

    QString error;
    const double documentMiB = Database::instance().snapshotText(&error).size() / 1048576.0;

    std::printf("data page, %d items over %d categories and %d locations (median of %d; %s)\n", itemCount,
                categoryCount, locationCount, runs,
                Database::instance().readsDirectly() ? "reading straight from SQLite" : "reading through QSqlQuery");
    std::printf("  reading the items alone: the sqlite3 shell %.1f ms, into the page's compact block %.1f ms, "
                "as Records (Database::rows) %.1f ms\n",
                shell, compact, read);
    std::printf(
        "  refresh after a push changed one row       %8.1f ms   ratio to the shell's reading %.2f (target <= 2); "
        "place kept: %s\n",
        pushed, pushed / shell, placeKept ? "yes" : "NO");
    std::printf("  refresh with nothing changed               %8.1f ms\n", unchanged);
    std::printf("  refresh after another table was shown      %8.1f ms   ratio to the shell's reading %.2f\n", cold,
                cold / shell);
    std::printf("  search keystroke (%6d rows left)         %8.1f ms\n", searchRows, keystroke);
    std::printf("  resident memory: %.1f MiB resting, %.1f MiB holding the items (+%.1f), %.1f MiB after a search\n",
                resting, holding, holding - resting, afterSearch);
    std::printf("  the items' snapshot document %.1f MiB: the page holds %.2fx of it\n", documentMiB,
                (holding - resting) / documentMiB);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QList<int> counts;
    const bool once = argc > 1 && QByteArray(argv[1]) == "once";
    for (int i = once ? 2 : 1; i < argc; ++i)
        counts.append(QByteArray(argv[i]).toInt());
    if (counts.isEmpty())
        counts = once ? QList<int>{20000} : QList<int>{20000, 100000};
    for (int count : std::as_const(counts)) {
        if (once)
            profile(count);
        else
            measure(count);
    }
    return 0;
}
