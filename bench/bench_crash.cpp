// Crash test: the real program on a copy of a 20,000-item database, killed with SIGKILL at random
// moments while a phone pushes a large document, and while it makes its daily backup. After every
// kill the program must start again, the database must pass integrity_check, and every push must be
// in the database entirely or not at all. A partial backup must never pass for today's copy.
//
//   bench_crash [path/to/tovanik] [rounds, default 20] [items, default 20000]
//
// Exits non-zero on the first broken promise.

#include "benchprogram.h"
#include "datagen.h"
#include "loadclient.h"
#include "storage/database.h"

#include "tests/testnet.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

const QString syncKey = QStringLiteral("CRASHKEY2345");
const int pushItems = 3000;

QByteArray pushDocument(int round)
{
    QJsonArray items;
    QJsonArray transactions;
    for (int i = 0; i < pushItems; ++i) {
        const QString id = QStringLiteral("crash-%1-%2").arg(round).arg(i);
        items.append(QJsonObject{{"id", id},
                                 {"name", QStringLiteral("推送物品 %1").arg(i)},
                                 {"barcode", id},
                                 {"quantity", i},
                                 {"updatedAt", "2026-06-01 00:00:00"}});
        for (int t = 0; t < 2; ++t)
            transactions.append(QJsonObject{
                {"id", QStringLiteral("%1-t%2").arg(id).arg(t)}, {"itemId", id}, {"type", "in"}, {"quantity", 1}});
    }
    const QByteArray body =
        QJsonDocument(QJsonObject{{"app", "plindor"}, {"items", items}, {"transactions", transactions}})
            .toJson(QJsonDocument::Compact);
    return "POST /import HTTP/1.1\r\nX-Sync-Key: " + syncKey.toLatin1()
           + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

struct Check
{
    QString integrity;
    int items = 0;
};

// Opens a database file on its own connection, as a separate reader would.
Check inspect(const QString &path, const QString &likeItems = QString())
{
    Check check;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("inspect"));
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery q(db);
            check.integrity = q.exec(QStringLiteral("PRAGMA integrity_check")) && q.next()
                                  ? q.value(0).toString()
                                  : QStringLiteral("unreadable");
            if (likeItems.isEmpty())
                q.exec(QStringLiteral("SELECT COUNT(*) FROM items"));
            else {
                q.prepare(QStringLiteral("SELECT COUNT(*) FROM items WHERE id LIKE ?"));
                q.addBindValue(likeItems);
                q.exec();
            }
            check.items = q.next() ? q.value(0).toInt() : -1;
        } else {
            check.integrity = QStringLiteral("cannot open");
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("inspect"));
    return check;
}

int countLike(const QString &path, const QString &table, const QString &pattern)
{
    int count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("count"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE id LIKE ?").arg(table));
            q.addBindValue(pattern);
            if (q.exec() && q.next())
                count = q.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("count"));
    return count;
}

class Program
{
public:
    Program(const QString &executable, quint16 port)
        : executable(executable)
        , port(port)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }

    bool start()
    {
        process.start(executable, {});
        return process.waitForStarted(10000);
    }

    bool startAndServe() { return start() && waitForPing(port, 60000); }

    void kill()
    {
        process.kill();
        process.waitForFinished(10000);
    }

    QProcess process;

private:
    QString executable;
    quint16 port;
};

int fail(const char *what, int round)
{
    std::printf("FAILED in round %d: %s\n", round, what);
    std::printf("CRASH TEST FAILED\n");
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString program =
        args.size() > 1 ? args[1] : QDir(app.applicationDirPath()).filePath(QStringLiteral("../tovanik"));
    const int rounds = args.size() > 2 ? args[2].toInt() : 20;
    const int itemCount = args.size() > 3 ? args[3].toInt() : 20000;

    QTemporaryDir folder;
    const QString dbPath = folder.filePath(QStringLiteral("data/plindor.db"));
    const quint16 port = testutil::freePort();
    const QString deployed = benchprogram::deploy(program, folder.path(), port, syncKey);
    if (deployed.isEmpty())
        return 2;

    std::printf("building a database of %d items...\n", itemCount);
    {
        QString error;
        Database &db = Database::instance();
        if (!db.open(dbPath, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 2;
        }
        db.merge(datagen::snapshotDocument(itemCount));
        db.close();
    }

    QRandomGenerator random(20261210);
    Program tovanik(deployed, port);
    const QString backupDir = folder.filePath(QStringLiteral("data/备份"));
    const QString todaysBackup = QDir(backupDir).filePath(
        QStringLiteral("plindor-%1.db").arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))));

    // Pushes: measure one undisturbed push first, then kill inside that window.
    int entire = 0;
    int absent = 0;
    qint64 pushMs = 3000;
    for (int round = 0; round <= rounds; ++round) {
        if (!tovanik.startAndServe())
            return fail("the program did not start and serve again", round);
        const QByteArray request = pushDocument(round);
        LoadClient client(port);
        bool answered = false;
        client.onAnswer = [&](int, const QJsonObject &, qint64) { answered = true; };
        QElapsedTimer clock;
        clock.start();
        client.send(request);
        const qint64 killAt = round == 0 ? 120000 : random.bounded(qint64(pushMs * 1.3));
        while (!answered && clock.elapsed() < killAt)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        if (round == 0) {
            pushMs = clock.elapsed();
            std::printf("undisturbed push of %d items + %d transactions: %lld ms\n", pushItems, 2 * pushItems,
                        static_cast<long long>(pushMs));
        }
        tovanik.kill();

        const Check check = inspect(dbPath);
        const int items = countLike(dbPath, QStringLiteral("items"), QStringLiteral("crash-%1-%").arg(round));
        const int transactions =
            countLike(dbPath, QStringLiteral("transactions"), QStringLiteral("crash-%1-%").arg(round));
        std::printf("round %2d: killed after %5lld ms: integrity %s, push rows %d items / %d transactions\n", round,
                    static_cast<long long>(qMin(killAt, clock.elapsed())), qPrintable(check.integrity), items,
                    transactions);
        if (check.integrity != QLatin1String("ok"))
            return fail("integrity_check", round);
        const bool whole = items == pushItems && transactions == 2 * pushItems;
        const bool none = items == 0 && transactions == 0;
        if (!whole && !none)
            return fail("a push was partly written", round);
        if (round > 0)
            (whole ? entire : absent)++;
    }
    std::printf("pushes killed: %d, entirely in the database: %d, not at all: %d, partly: 0\n", rounds, entire, absent);

    // The daily backup: remove today's copy and kill the program while it makes a new one.
    QElapsedTimer backupClock;
    QFile::remove(todaysBackup);
    backupClock.start();
    if (!tovanik.startAndServe())
        return fail("the program did not start for the backup timing", -1);
    const qint64 startMs = backupClock.elapsed();
    tovanik.kill();
    std::printf("start-up with a new day's backup: %lld ms\n", static_cast<long long>(startMs));
    int backupKills = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        QFile::remove(todaysBackup);
        if (!tovanik.start())
            return fail("the program did not start", attempt);
        QThread::msleep(random.bounded(qint64(startMs)));
        tovanik.kill();
        ++backupKills;
        const Check master = inspect(dbPath);
        if (master.integrity != QLatin1String("ok"))
            return fail("integrity_check after a kill during the backup", attempt);
        if (QFile::exists(todaysBackup)) {
            const Check copy = inspect(todaysBackup);
            std::printf("backup kill %d: master ok, today's copy present: %s, %d items\n", attempt,
                        qPrintable(copy.integrity), copy.items);
            if (copy.integrity != QLatin1String("ok") || copy.items != master.items)
                return fail("a partial copy passes for today's backup", attempt);
        } else {
            std::printf("backup kill %d: master ok, no copy for today yet\n", attempt);
        }
        // The next start must make (or keep) a complete copy.
    }
    QFile::remove(todaysBackup);
    if (!tovanik.startAndServe())
        return fail("the program did not start after the backup kills", -1);
    tovanik.kill();
    const Check finalCopy = inspect(todaysBackup);
    std::printf("after %d backup kills, a full start made today's copy: %s, %d items\n", backupKills,
                qPrintable(finalCopy.integrity), finalCopy.items);
    if (finalCopy.integrity != QLatin1String("ok"))
        return fail("no complete backup after restart", -1);

    std::printf("CRASH TEST PASSED\n");
    return 0;
}
