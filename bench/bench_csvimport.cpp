// Times the CSV import of a shop-sized table and prints the figures: reading the file, planning it against
// the stored rows and building the preview; the write (version included); the same file imported again
// unchanged; and the sqlite3 shell's .import of the same file into the same table for comparison.
// Usage: bench_csvimport [items, default 20000; transactions are twice as many]

#include "datagen.h"

#include "catalogue/catalogue.h"
#include "storage/csvtext.h"
#include "storage/database.h"
#include "storage/importplanner.h"
#include "storage/snapshottext.h"
#include "ui/importpreview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// The tables as the export writes them: UTF-8 with a byte order mark, every field quoted.
// Without ids, a spreadsheet that never came from the program: every row gets a new id.
QString writeCsv(const QTemporaryDir &dir, const TableInfo &table, const QJsonArray &rows, bool withIds = true)
{
    const QStringList columns = withIds ? table.columns : table.columns.mid(1);
    QList<QStringList> records{columns};
    records.reserve(rows.size() + 1);
    for (const QJsonValue &row : rows) {
        QStringList fields;
        for (const QString &column : columns)
            fields << snapshottext::valueText(row.toObject().value(column));
        records << fields;
    }
    csvtext::Document like;
    like.byteOrderMark = true;
    const QString path =
        dir.filePath(table.key + (withIds ? QStringLiteral(".csv") : QStringLiteral("-without-ids.csv")));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(csvtext::compose(records, like)) < 0)
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// A master holding the document's tables named in `filled`, the others empty.
void openMaster(const QString &path, const QJsonObject &document, const QStringList &filled)
{
    Database &db = Database::instance();
    QString error;
    if (!db.open(path, &error))
        qFatal("open failed: %s", qPrintable(error));
    QJsonObject part;
    for (const QString &key : filled)
        part.insert(key, document.value(key));
    const MergeResult merged = db.merge(part);
    if (!merged.error.isEmpty())
        qFatal("seeding failed: %s", qPrintable(merged.error));
}

void print(const char *label, qint64 ms, const QString &note)
{
    std::printf("%-44s %7lld ms   %s\n", label, static_cast<long long>(ms), qPrintable(note));
    std::fflush(stdout);
}

struct Planned
{
    csvtext::Document file;
    ImportPlan plan;
};

// Reading and planning, and the preview built over them, as the data page does before it shows it.
Planned readAndPreview(const QString &path, const TableInfo &table, const char *label)
{
    QElapsedTimer timer;
    timer.start();
    Planned planned;
    QByteArray bytes;
    QString error;
    if (!csvtext::load(path, &bytes, &error))
        qFatal("%s", qPrintable(error));
    planned.file = csvtext::parse(bytes);
    const qint64 read = timer.elapsed();
    ImportBasis basis;
    if (!Database::instance().importBasis(table.key, &basis, &error))
        qFatal("%s", qPrintable(error));
    const qint64 based = timer.elapsed();
    planned.plan = ImportPlanner::plan(table, planned.file, basis);
    const qint64 plannedAt = timer.elapsed();
    {
        ImportPreview preview(path, planned.file, planned.plan, table);
    }
    print(label, timer.elapsed(),
          QStringLiteral("read %1, stored rows %2, plan %3, preview %4 ms; 新增 %5 / 更新 %6 / 未变 %7 / 有错 %8")
              .arg(read)
              .arg(based - read)
              .arg(plannedAt - based)
              .arg(timer.elapsed() - plannedAt)
              .arg(planned.plan.inserts())
              .arg(planned.plan.updates())
              .arg(planned.plan.unchanged)
              .arg(planned.plan.errors.size()));
    return planned;
}

qint64 shellImport(const QString &sqlite, const QString &database, const TableInfo &table, const QString &csv)
{
    const QString columns = table.columns.join(QLatin1Char(','));
    QProcess shell;
    QElapsedTimer timer;
    timer.start();
    shell.start(sqlite, {database, QStringLiteral(".import --csv %1 imported").arg(csv),
                         QStringLiteral("INSERT OR REPLACE INTO %1 (%2, serverUpdatedAt, deleted) SELECT %2, "
                                        "datetime('now', 'localtime'), 0 FROM imported; DROP TABLE imported;")
                             .arg(table.key, columns)});
    shell.waitForFinished(-1);
    const qint64 ms = timer.elapsed();
    const QByteArray errors = shell.readAllStandardError();
    if (!errors.isEmpty())
        std::printf("sqlite3: %s\n", errors.left(300).constData());
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int n = argc > 1 ? QByteArray(argv[1]).toInt() : 20000;
    QTemporaryDir dir;
    Database &db = Database::instance();
    const QJsonObject document = datagen::snapshotDocument(n);
    std::printf("CSV import benchmark, %d items and %d transactions (files in %s)\n\n", n, 2 * n,
                qPrintable(dir.path()));

    const TableInfo &items = *findTable(QStringLiteral("items"));
    const TableInfo &transactions = *findTable(QStringLiteral("transactions"));
    const QString itemsCsv = writeCsv(dir, items, document.value(items.key).toArray());
    const QString transactionsCsv = writeCsv(dir, transactions, document.value(transactions.key).toArray());
    const QString newItemsCsv = writeCsv(dir, items, document.value(items.key).toArray(), false);
    std::printf("items.csv %.1f MB, transactions.csv %.1f MB\n\n", QFile(itemsCsv).size() / 1048576.0,
                QFile(transactionsCsv).size() / 1048576.0);

    const QStringList trees{QStringLiteral("categories"), QStringLiteral("locations"), QStringLiteral("customers")};
    const QString sqlite = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
    // Three runs each: the machine is shared, so compare the best.
    for (int run = 1; run <= 3; ++run) {
        std::printf("run %d\n", run);
        const QString master = dir.filePath(QStringLiteral("master%1/plindor.db").arg(run));
        openMaster(master, document, trees);
        const Planned itemPlan = readAndPreview(itemsCsv, items, "items: read, plan and preview");
        QElapsedTimer timer;
        QString error;
        timer.start();
        const bool itemsWritten = db.importRows(itemPlan.plan, QStringLiteral("items.csv"), &error);
        print("items: import (version included)", timer.elapsed(), itemsWritten ? QStringLiteral("written") : error);

        const Planned transactionPlan =
            readAndPreview(transactionsCsv, transactions, "transactions: read, plan and preview");
        timer.restart();
        const bool saved = db.saveVersion(QStringLiteral("基准"), QStringLiteral("bench"), &error);
        print("the version alone, before the transactions", timer.elapsed(), saved ? QStringLiteral("saved") : error);
        timer.restart();
        const bool transactionsWritten =
            db.importRows(transactionPlan.plan, QStringLiteral("transactions.csv"), &error);
        print("transactions: import (version included)", timer.elapsed(),
              transactionsWritten ? QStringLiteral("written") : error);

        readAndPreview(transactionsCsv, transactions, "transactions again: all unchanged");

        openMaster(dir.filePath(QStringLiteral("fresh%1/plindor.db").arg(run)), document, trees);
        const Planned newItemsPlan = readAndPreview(newItemsCsv, items, "items without ids: read, plan, preview");
        timer.restart();
        const bool newItemsWritten = db.importRows(newItemsPlan.plan, QStringLiteral("new.csv"), &error);
        print("items without ids: import, new ids made", timer.elapsed(),
              newItemsWritten ? QStringLiteral("written") : error);
        db.close();

        if (sqlite.isEmpty()) {
            std::printf("sqlite3 shell not found: no comparison\n\n");
            continue;
        }
        const QString shellMaster = dir.filePath(QStringLiteral("shell%1/plindor.db").arg(run));
        openMaster(shellMaster, document, trees);
        db.close();
        print("sqlite3 shell: .import items.csv", shellImport(sqlite, shellMaster, items, itemsCsv), QString());
        print("sqlite3 shell: .import transactions.csv",
              shellImport(sqlite, shellMaster, transactions, transactionsCsv), QString());
        std::printf("\n");
    }
    return 0;
}
