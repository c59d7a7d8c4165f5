// Times the bulk storage operations on a shop-sized database and prints the figures:
// merge into an empty and into an equal master, snapshotDocument, snapshotText, saveVersion, rollbackTo, and the
// same rows bulk-inserted by the sqlite3 shell for comparison.
// Usage: bench_storage [items, default 20000] [merge: stop after the merges into an empty master]

#include "benchfigures.h"
#include "datagen.h"

#include "catalogue/catalogue.h"
#include "storage/database.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <functional>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

using benchfigures::resetPeak;
using benchfigures::statusKb;

// CPU time of this process and of its finished children, in ms: steadier than wall time on a busy machine.
qint64 cpuMs()
{
    qint64 total = 0;
#ifdef Q_OS_UNIX
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000LL
                 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    }
#endif
    return total;
}

void measure(const char *label, const std::function<QString()> &operation)
{
    const bool reset = resetPeak();
    const qint64 before = statusKb("VmRSS");
    const qint64 cpuBefore = cpuMs();
    QElapsedTimer timer;
    timer.start();
    const QString note = operation();
    const qint64 ms = timer.elapsed();
    const qint64 cpu = cpuMs() - cpuBefore;
    const qint64 peak = statusKb("VmHWM");
    // Without /proc (not Linux) there is no memory figure.
    const QString memory = peak < 0 || before < 0 ? QStringLiteral("peak n/a")
                                                  : QStringLiteral("peak +%1 MB%2")
                                                        .arg((peak - before) / 1024.0, 6, 'f', 1)
                                                        .arg(reset ? QString() : QStringLiteral(" (not reset)"));
    std::printf("%-34s %7lld ms  (cpu %6lld ms)   %s   %s\n", label, static_cast<long long>(ms),
                static_cast<long long>(cpu), qPrintable(memory), qPrintable(note));
    std::fflush(stdout);
}

// Drops a file's pages from the system's cache, so that the next reading comes from the disk as after
// a reboot. Returns false where that cannot be done.
bool evictFromCache(const QString &path)
{
#if defined(Q_OS_UNIX) && defined(POSIX_FADV_DONTNEED)
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0)
        return false;
    const bool evicted = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    ::close(fd);
    return evicted;
#else
    Q_UNUSED(path)
    return false;
#endif
}

QString sqlLiteral(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Double: {
        const QVariant v = Database::toSqlValue(value);
        return v.typeId() == QMetaType::Double ? QString::number(v.toDouble(), 'g', 17) : v.toString();
    }
    case QJsonValue::String: {
        QString text = value.toString();
        return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\'');
    }
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    default:
        return QStringLiteral("''");
    }
}

// The document's rows as one transaction of INSERT OR REPLACE statements, with the columns a merge writes.
void writeSql(const QJsonObject &document, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    QTextStream out(&file);
    out << "BEGIN;\n";
    const QString stamp = Database::nowText();
    for (const TableInfo &table : tables()) {
        const QString head = QStringLiteral("INSERT OR REPLACE INTO %1 (%2,serverUpdatedAt,deleted) VALUES (")
                                 .arg(table.key, table.columns.join(QLatin1Char(',')));
        for (const QJsonValue &element : document.value(table.key).toArray()) {
            const QJsonObject record = element.toObject();
            out << head;
            for (const QString &column : table.columns)
                out << sqlLiteral(record.value(column)) << ',';
            out << '\'' << stamp << "',0);\n";
        }
    }
    out << "COMMIT;\n";
}

QString freshMaster(const QTemporaryDir &dir, const QString &name)
{
    const QString path = dir.filePath(name + QStringLiteral("/plindor.db"));
    QString error;
    if (!Database::instance().open(path, &error))
        qFatal("open failed: %s", qPrintable(error));
    return path;
}

QString summary(const MergeResult &result)
{
    return result.error.isEmpty() ? result.details.join(QStringLiteral(" / "))
                                  : QStringLiteral("FAILED: ") + result.error;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? QByteArray(argv[1]).toInt() : 20000;
    QTemporaryDir dir;
    Database &db = Database::instance();

    std::printf("storage benchmark, N = %d items (SQLite file in %s)\n\n", n, qPrintable(dir.path()));

    QJsonObject document;
    measure("generate document", [&] {
        document = datagen::snapshotDocument(n);
        QStringList sizes;
        for (const TableInfo &table : tables())
            sizes << QStringLiteral("%1 %2").arg(table.key).arg(document.value(table.key).toArray().size());
        return sizes.join(QStringLiteral(", "));
    });

    // Three runs each for the merge and the sqlite3 shell below: the machine is shared, so compare the best.
    for (int run = 1; run <= 3; ++run) {
        freshMaster(dir, QStringLiteral("master%1").arg(run));
        measure("merge into empty master", [&] { return summary(db.merge(document)); });
    }
    if (argc > 2 && QByteArray(argv[2]) == "merge")
        return 0;
    measure("merge into equal master", [&] { return summary(db.merge(document)); });

    QJsonObject snapshot;
    measure("snapshotDocument", [&] {
        snapshot = db.snapshotDocument();
        return QStringLiteral("%1 MB as compact JSON")
            .arg(QJsonDocument(snapshot).toJson(QJsonDocument::Compact).size() / 1048576.0, 0, 'f', 1);
    });
    snapshot = QJsonObject();
    // What "/export" answers, apart from the HTTP; compared below with the sqlite3 shell printing the same rows.
    for (int run = 1; run <= 3; ++run) {
        measure("snapshotText", [&] {
            return QStringLiteral("%1 MB written from the rows").arg(db.snapshotText().size() / 1048576.0, 0, 'f', 1);
        });
    }
    measure("saveVersion", [&] {
        return db.saveVersion(QStringLiteral("基准"), QStringLiteral("bench")) ? QStringLiteral("saved")
                                                                               : QStringLiteral("FAILED");
    });
    const int version = db.listVersions(1).value(0).id;
    measure("rollbackTo (two saves + rewrite)", [&] {
        return db.rollbackTo(version, QStringLiteral("bench")) ? QStringLiteral("version #%1").arg(version)
                                                               : QStringLiteral("FAILED");
    });

    // The start-up check reads every data table and the sync log through, but not the versions.
    const QString masterPath = db.fileName();
    db.close();
    const bool cold = evictFromCache(masterPath);
    measure(cold ? "open with start-up check (cold file)" : "open with start-up check", [&] {
        QString error;
        return db.open(masterPath, &error) ? QStringLiteral("file %1 MB with %2 versions")
                                                 .arg(QFileInfo(masterPath).size() / 1048576.0, 0, 'f', 1)
                                                 .arg(db.listVersions(200).size())
                                           : error;
    });
    measure("start-up check alone", [&] {
        QString error;
        return db.checkUsable(&error) ? QStringLiteral("usable") : error;
    });

    // One row per statement and commit, as every operator's edit does; a few hundred show the cost per row.
    freshMaster(dir, QStringLiteral("single"));
    const QJsonArray items = document.value("items").toArray();
    const int singles = qMin(500, int(items.size()));
    measure("upsert one by one (500 items)", [&] {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < singles; ++i)
            db.upsert(QStringLiteral("items"), items.at(i).toObject(), nullptr);
        return QStringLiteral("%1 ms per row").arg(double(timer.elapsed()) / singles, 0, 'f', 2);
    });

    const QString sqlite = QStandardPaths::findExecutable(QStringLiteral("sqlite3"));
    if (sqlite.isEmpty()) {
        std::printf("sqlite3 shell not found: no comparison\n");
        return 0;
    }
    const QString sqlPath = dir.filePath(QStringLiteral("rows.sql"));
    measure("write rows.sql", [&] {
        writeSql(document, sqlPath);
        return QStringLiteral("%1 MB").arg(QFile(sqlPath).size() / 1048576.0, 0, 'f', 1);
    });
    for (int run = 1; run <= 3; ++run) {
        // The same schema and journal mode as the master.
        const QString shellFile = freshMaster(dir, QStringLiteral("shell%1").arg(run));
        db.close();
        measure("sqlite3 shell: file < rows.sql", [&] {
            QProcess shell;
            shell.setStandardInputFile(sqlPath);
            shell.start(sqlite, {shellFile});
            shell.waitForFinished(-1);
            const QByteArray errors = shell.readAllStandardError();
            return errors.isEmpty() ? QStringLiteral("exit %1").arg(shell.exitCode())
                                    : QString::fromUtf8(errors.left(200));
        });
    }
    QStringList selects;
    for (const TableInfo &table : tables())
        selects << QStringLiteral("SELECT * FROM %1 WHERE deleted = 0;").arg(table.key);
    const QString filled = dir.filePath(QStringLiteral("master1/plindor.db"));
    for (int run = 1; run <= 3; ++run) {
        measure("sqlite3 -json: the six tables", [&] {
            QProcess shell;
            shell.start(sqlite, {QStringLiteral("-json"), filled, selects.join(QLatin1Char(' '))});
            shell.waitForFinished(-1);
            return QStringLiteral("%1 MB printed").arg(shell.readAllStandardOutput().size() / 1048576.0, 0, 'f', 1);
        });
    }
    return 0;
}
