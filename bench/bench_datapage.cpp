// Fills the data page with 20,000 items over a 500-node category tree and a 200-node location tree,
// and sets one refresh and one search keystroke against filling the same table with plain text
// items and no lookups. Prints the figures; run it by hand or through scripts/bench.sh.
// Usage: bench_datapage [once]: "once" runs each measured step a single time, each inside its own
// profiled() call, for a profiler:
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*profiled*' bench_datapage once

#include "app/paths.h"
#include "storage/database.h"
#include "storage/rowsmemo.h"
#include "tests/testutil.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableWidget>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr int itemCount = 20000;
constexpr int categoryCount = 500;
constexpr int locationCount = 200;
constexpr int runs = 5;

void prepareProgramFolder()
{
    QDir(QFileInfo(databasePath()).absolutePath()).removeRecursively();
    QFile file(configPath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(QJsonDocument(QJsonObject{{"syncPort", testutil::freePort()}, {"publicHost", "203.0.113.9"}})
                       .toJson());
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

void insertItems(QRandomGenerator &random)
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

// One step and the event processing it causes (painting included), as medianMs times it; kept out of
// line so that a profiler shows each step on its own.
// Written by each step, so that each has a body of its own: the optimiser folds identical ones into one.
volatile int profiledStep = 0;

template<int step>
Q_NEVER_INLINE void profiled(const std::function<void()> &work)
{
    profiledStep = step;
    work();
    QApplication::processEvents();
}

// The same widget filled with as many plain text items, without any reading or lookups.
void fillPlain(QTableWidget *table, int rows, int columns, const QStringList &texts)
{
    table->setUpdatesEnabled(false);
    table->clear();
    table->setRowCount(0);
    table->setColumnCount(columns + 1);
    table->setRowCount(rows);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c)
            table->setItem(r, c, new QTableWidgetItem(texts.at(r)));
    }
    table->setUpdatesEnabled(true);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    prepareProgramFolder();

    MainWindow window;
    MainWindowTest t(window);
    window.show();
    QApplication::processEvents();

    QSqlDatabase connection = QSqlDatabase::database(QStringLiteral("plindor"));
    QRandomGenerator random(20240101);
    connection.transaction();
    insertTree(QStringLiteral("categories"), QStringLiteral("cat"), categoryCount, random);
    insertTree(QStringLiteral("locations"), QStringLiteral("loc"), locationCount, random);
    insertItems(random);
    connection.commit();

    QTableWidget *table = t.dataTable();
    QStringList texts;
    for (int i = 0; i < itemCount; ++i)
        texts.append(QStringLiteral("零件%1").arg(i));

    if (argc > 1 && QByteArray(argv[1]) == "once") {
        profiled<1>([&t] { t.refreshDataTable(); });
        profiled<6>([&t] { t.refreshDataTable(); });
        const int rows = table->rowCount();
        const int columns = table->columnCount() - 1;
        profiled<2>([&] { fillPlain(table, rows, columns, texts); });
        t.searchEdit()->setText(QStringLiteral("零件"));
        QApplication::processEvents();
        profiled<3>([&t] { t.searchEdit()->setText(QStringLiteral("零件1")); });
        const int searchRows = table->rowCount();
        fillPlain(table, rows, columns, texts);
        QApplication::processEvents();
        profiled<4>([&] { fillPlain(table, searchRows, columns, texts); });
        profiled<5>([] { Database::instance().rows(QStringLiteral("items")); });
        t.searchEdit()->clear();
        QApplication::processEvents();
        table->setCurrentCell(itemCount / 2, 0);
        const QJsonObject item{{"id", "item-7"}, {"name", "手机改名"}, {"updatedAt", "2030-01-01 00:00:00"}};
        Database::instance().merge(QJsonObject{{"items", QJsonArray{item}}});
        profiled<7>([&t] { t.refreshDataTable(true); });
        t.tableCombo()->setCurrentIndex(1);
        QApplication::processEvents();
        profiled<8>([&t] { t.tableCombo()->setCurrentIndex(0); });
        std::printf("1 first refresh, 6 next refresh, 2 their plain fill (%d rows), 3 keystroke, 4 its plain fill (%d rows), "
                    "5 rows(\"items\") afresh, 7 refresh after a push, 8 refresh after another table\n",
                    rows, searchRows);
        return 0;
    }

    const double refresh = medianMs([] {}, [&t] { t.refreshDataTable(); });
    const int shownRows = table->rowCount();
    const int dataColumns = table->columnCount() - 1;
    const double refreshPlain = medianMs([] {}, [&] { fillPlain(table, shownRows, dataColumns, texts); });

    const double keystroke = medianMs([&t] { t.searchEdit()->setText(QStringLiteral("零件")); },
                                      [&t] { t.searchEdit()->setText(QStringLiteral("零件1")); });
    const int searchRows = table->rowCount();
    // Both start from the full table that the keystroke before left behind.
    const double keystrokePlain = medianMs([&] { fillPlain(table, shownRows, dataColumns, texts); },
                                           [&] { fillPlain(table, searchRows, dataColumns, texts); });

    // The part of a refresh that is storage's: reading the rows as Records, once afresh and once again
    // with the Records of the reading before, as the page does on every refresh.
    const double read = medianMs([] {}, [] { Database::instance().rows(QStringLiteral("items")); });
    RowsMemo memo;
    Database::instance().rows(QStringLiteral("items"), &memo);
    const double reread = medianMs([] {}, [&memo] { Database::instance().rows(QStringLiteral("items"), &memo); });

    // The first refresh after another table was shown has no earlier Records to take.
    const double coldRefresh = medianMs([&t] { t.tableCombo()->setCurrentIndex(1); },
                                        [&t] { t.tableCombo()->setCurrentIndex(0); });

    // A phone's push changes a few rows; the page then refreshes in place, keeping its row and scroll.
    table->setCurrentCell(itemCount / 2, 0);
    int push = 0;
    const double pushedRefresh = medianMs(
        [&push] {
            ++push;
            const QJsonObject item{{"id", QStringLiteral("item-%1").arg(push)}, {"name", QStringLiteral("手机改名%1").arg(push)},
                                   {"updatedAt", QStringLiteral("2030-01-01 00:00:%1").arg(push, 2, 10, QLatin1Char('0'))}};
            Database::instance().merge(QJsonObject{{"items", QJsonArray{item}}});
        },
        [&t] { t.refreshDataTable(true); });

    // The lookups as storage offers them, one per reference cell, for a slice of the rows.
    constexpr int slice = 1000;
    QElapsedTimer timer;
    timer.start();
    const QJsonArray rows = t.currentRows();
    for (int i = 0; i < slice; ++i) {
        const QJsonObject row = rows.at(i).toObject();
        Database::instance().displayValue(QStringLiteral("categoryId"), row.value(QStringLiteral("categoryId")).toString());
        Database::instance().displayValue(QStringLiteral("locationId"), row.value(QStringLiteral("locationId")).toString());
    }
    const double perCell = timer.nsecsElapsed() / 1e6;

    std::printf("data page, %d items over %d categories and %d locations (median of %d)\n", itemCount, categoryCount,
                locationCount, runs);
    std::printf("  refreshDataTable       %6d rows  %8.1f ms   plain fill %8.1f ms   ratio %.2f\n", shownRows, refresh,
                refreshPlain, refresh / refreshPlain);
    std::printf("  search keystroke       %6d rows  %8.1f ms   plain fill %8.1f ms   ratio %.2f\n", searchRows,
                keystroke, keystrokePlain, keystroke / keystrokePlain);
    std::printf("  refresh after another table %6d rows  %8.1f ms   ratio %.2f\n", shownRows, coldRefresh,
                coldRefresh / refreshPlain);
    std::printf("  refresh after a push   %6d rows  %8.1f ms   ratio %.2f (after another table %.2f)\n", shownRows,
                pushedRefresh, pushedRefresh / refreshPlain, coldRefresh / refreshPlain);
    std::printf("  both read all rows (%s): Database::rows(\"items\") afresh %.1f ms, again %.1f ms\n",
                Database::instance().readsDirectly() ? "straight from SQLite" : "through QSqlQuery", read, reread);
    std::printf("  the page's own work: refresh %.1f ms, ratio %.2f; keystroke %.1f ms, ratio %.2f\n", refresh - reread,
                (refresh - reread) / refreshPlain, keystroke - reread, (keystroke - reread) / keystrokePlain);
    std::printf("  one storage lookup per reference cell: %d rows in %.1f ms, about %.0f ms for %d rows\n", slice,
                perCell, perCell * itemCount / slice, itemCount);
    return 0;
}
