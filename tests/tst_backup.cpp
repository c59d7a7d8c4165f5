#include "storage/database.h"
#include "storagetestcase.h"
#include "testmain.h"
#include "teststorage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QtTest>

#include <optional>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

// The daily backup, its rotation, and the restore from a backup.
class BackupTest : public StorageTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void backupHoldsRowsStillInTheLog()
    {
        const QString path = freshDatabase(QStringLiteral("wal"));
        for (int i = 0; i < 20; ++i)
            db.upsert(QStringLiteral("items"), {{"id", QStringLiteral("i%1").arg(i)}, {"name", "轴承"}}, nullptr);
        // The main file alone lacks these rows: they wait in the write-ahead log.
        const QString bare = dir.filePath(QStringLiteral("wal-bare.db"));
        QVERIFY(QFile::copy(path, bare));
        QVERIFY(valueFromFile(bare, QStringLiteral("SELECT COUNT(*) FROM items")).toInt() != 20);

        // A copy left over from a crash is neither today's backup nor in the way.
        QDir().mkpath(backupFolder(path));
        const QString target = QDir(backupFolder(path)).absoluteFilePath(todaysBackupName());
        QFile leftover(target + QStringLiteral(".part"));
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.write("half a file");
        leftover.close();

        QVERIFY(db.dailyBackupDue());
        QCOMPARE(db.dailyBackup(), target);
        QVERIFY(!db.dailyBackupDue());
        QVERIFY(!QFile::exists(target + QStringLiteral(".part")));
        QVERIFY(!QFile::exists(target + QStringLiteral("-wal")));
        QCOMPARE(valueFromFile(target, QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 20);

        // Later the same day: nothing is copied.
        const QDateTime made = QFileInfo(target).lastModified();
        db.upsert(QStringLiteral("items"), {{"id", "later"}}, nullptr);
        QCOMPARE(db.dailyBackup(), QString());
        QCOMPARE(QFileInfo(target).lastModified(), made);
        QCOMPARE(QDir(backupFolder(path)).entryList(QDir::Files).size(), 1);
    }

    // The 30 newest copies up to today are kept, day after day: the oldest daily copy goes as each day's
    // copy is made, across the end of a month, and a file of another name counts without being dated.
    void backupKeepsThe30Newest()
    {
        testutil::StoppedClock clock(QDateTime(QDate(2020, 1, 30), QTime(9, 0)));
        const QString path = freshDatabase(QStringLiteral("retention"));
        const QDir folder(backupFolder(path));
        QDir().mkpath(folder.path());
        QStringList old;
        for (int day = 1; day <= 29; ++day)
            old << QStringLiteral("plindor-202001%1.db").arg(day, 2, 10, QLatin1Char('0'));
        old << QStringLiteral("plindor-other.db");
        for (const QString &name : old) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QFile unrelated(folder.filePath(QStringLiteral("notes.txt")));
        QVERIFY(unrelated.open(QIODevice::WriteOnly));
        unrelated.close();

        QCOMPARE(db.dailyBackup(), folder.absoluteFilePath(todaysBackupName()));
        QStringList kept = folder.entryList({QStringLiteral("plindor-*.db")}, QDir::Files, QDir::Name);
        QCOMPARE(kept.size(), 30);
        QVERIFY(!kept.contains(QStringLiteral("plindor-20200101.db")));
        QVERIFY(kept.contains(QStringLiteral("plindor-20200102.db")));
        QVERIFY(kept.contains(QStringLiteral("plindor-other.db")));
        QVERIFY(kept.contains(todaysBackupName()));
        QVERIFY(QFile::exists(folder.filePath(QStringLiteral("notes.txt"))));

        for (int day = 1; day <= 6; ++day) {
            clock.set(QDateTime(QDate(2020, 1, 30).addDays(day), QTime(9, 0)));
            QVERIFY(!db.upsert(QStringLiteral("items"), {{"id", QStringLiteral("i%1").arg(day)}}, nullptr).isEmpty());
            QCOMPARE(db.dailyBackup(), folder.absoluteFilePath(todaysBackupName()));
            QCOMPARE(
                valueFromFile(folder.filePath(todaysBackupName()), QStringLiteral("SELECT COUNT(*) FROM items")).toInt(),
                day);
        }
        kept = folder.entryList({QStringLiteral("plindor-*.db")}, QDir::Files, QDir::Name);
        QCOMPARE(kept.size(), 30);
        QCOMPARE(kept.first(), QStringLiteral("plindor-20200108.db"));
        QCOMPARE(kept.at(28), QStringLiteral("plindor-20200205.db"));
        QCOMPARE(kept.last(), QStringLiteral("plindor-other.db"));
    }

    // Today's copy lasts under its name (flushed, renamed, its folder flushed) before the oldest copy goes;
    // a backup folder made for it is flushed into the database's folder first.
    void backupIsDurableBeforeTheOldestGoes_data()
    {
        QTest::addColumn<int>("older");
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after");
        QTest::newRow("first backup") << -1 << QStringList{"flush folder ."} << QStringList();
        QTest::newRow("30 kept") << 30 << QStringList() << QStringList{"remove 备份/plindor-20200101.db"};
    }

    void backupIsDurableBeforeTheOldestGoes()
    {
        QFETCH(int, older);
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        const QString path = freshDatabaseForRow(QStringLiteral("durable-backup"));
        db.upsert(QStringLiteral("items"), {{"id", "i1"}}, nullptr);
        const QDir folder(backupFolder(path));
        if (older >= 0)
            QVERIFY(QDir().mkpath(folder.path()));
        for (int day = 1; day <= older; ++day) {
            QFile file(folder.filePath(QStringLiteral("plindor-202001%1.db").arg(day, 2, 10, QLatin1Char('0'))));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        testutil::FileSteps steps(QFileInfo(path).absolutePath());
        QCOMPARE(db.dailyBackup(), folder.absoluteFilePath(todaysBackupName()));
        const QString today = QStringLiteral("备份/") + todaysBackupName();
        const QStringList made{"flush file " + today + ".part", "rename " + today, "flush folder 备份"};
        QCOMPARE(steps.seen, before + made + after);
        QCOMPARE(
            valueFromFile(folder.filePath(todaysBackupName()), QStringLiteral("SELECT COUNT(*) FROM items")).toInt(),
            1);
    }

    void backupWithoutDatabaseFileDoesNothing()
    {
        const QString path = freshDatabase(QStringLiteral("nofile"));
        db.close();
        for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
            QFile::remove(path + suffix);
        QCOMPARE(db.dailyBackup(), QString());
        QVERIFY(!QFileInfo::exists(backupFolder(path)));
    }

    void backupOfAClosedDatabase()
    {
        const QString path = freshDatabase(QStringLiteral("closedcopy"));
        db.upsert(QStringLiteral("customers"), {{"id", "c"}}, nullptr);
        db.close();
        const QString target = db.dailyBackup();
        QCOMPARE(target, QDir(backupFolder(path)).absoluteFilePath(todaysBackupName()));
        QCOMPARE(valueFromFile(target, QStringLiteral("SELECT COUNT(*) FROM customers")).toInt(), 1);
    }

    // Copies dated after today (the clock was once set ahead) are kept and reported, and today's copy,
    // which sorts before them, is not the one that goes.
    void backupKeepsLaterDatedCopies()
    {
        const QDate today(2024, 2, 27);
        const testutil::StoppedClock clock(QDateTime(today, QTime(23, 59, 59)));
        const QString path = freshDatabase(QStringLiteral("later"));
        const QDir folder(backupFolder(path));
        QDir().mkpath(folder.path());
        QStringList names;
        for (int day = 1; day <= 5; ++day)
            names << QStringLiteral("plindor-%1.db").arg(today.addDays(-day).toString(QStringLiteral("yyyyMMdd")));
        for (int day = 1; day <= 30; ++day)
            names << QStringLiteral("plindor-%1.db").arg(today.addDays(day).toString(QStringLiteral("yyyyMMdd")));
        for (const QString &name : names) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        QStringList notes;
        const QString target = db.dailyBackup(&notes);
        QCOMPARE(target, folder.absoluteFilePath(todaysBackupName()));
        QCOMPARE(valueFromFile(target, QStringLiteral("SELECT COUNT(*) FROM sync_log")).toInt(), 0);
        const QStringList kept = folder.entryList({QStringLiteral("plindor-*.db")}, QDir::Files, QDir::Name);
        QCOMPARE(kept.size(), 36);
        for (const QString &name : names)
            QVERIFY2(kept.contains(name), qPrintable(name));
        QCOMPARE(notes.size(), 1);
        QVERIFY2(notes.first().contains(QStringLiteral("30 份日期晚于今天的备份")), qPrintable(notes.first()));
    }

#ifdef Q_OS_UNIX
    // A copy cut off by a file size limit, the way a full disk cuts it off, leaves no partial file and
    // no journal, says why, and does not stand in the way of the next attempt.
    void failedBackupLeavesNothingBehind()
    {
        const QString path = freshDatabase(QStringLiteral("failedcopy"));
        QJsonArray items;
        for (int i = 0; i < 2000; ++i)
            items.append(QJsonObject{{"id", QStringLiteral("i%1").arg(i)},
                                     {"name", QStringLiteral("轴承 %1").arg(i).repeated(8)}});
        db.merge(QJsonObject{{"items", items}});
        const QDir folder(backupFolder(path));
        QDir().mkpath(folder.path());
        QFile leftover(folder.filePath(todaysBackupName() + QStringLiteral(".part-journal")));
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.write(QByteArray(4096, 'x'));
        leftover.close();

        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 64 * 1024;
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        QStringList notes;
        const QString target = db.dailyBackup(&notes);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);

        QCOMPARE(target, QString());
        QCOMPARE(folder.entryList(QDir::Files), QStringList());
        QCOMPARE(notes.size(), 1);
        QVERIFY2(notes.first().startsWith(QStringLiteral("自动备份数据库失败: ")), qPrintable(notes.first()));

        QCOMPARE(db.dailyBackup(), folder.absoluteFilePath(todaysBackupName()));
        QCOMPARE(
            valueFromFile(folder.filePath(todaysBackupName()), QStringLiteral("SELECT COUNT(*) FROM items")).toInt(),
            2000);
    }
#endif

    // A file that is no database is refused, keeps its place in the backups out, and a good open of the
    // same path afterwards clears the reason.
    void unusableFileIsNotBackedUpUntilAGoodOpen()
    {
        const QString path = dir.filePath(QStringLiteral("notadb/data/plindor.db"));
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("这不是数据库，是一份说明文字。").repeated(400));
        file.close();

        QString error;
        QVERIFY(!db.open(path, &error));
        QVERIFY2(error.startsWith(QStringLiteral("数据库文件无法识别")), qPrintable(error));
        QVERIFY(error.startsWith(db.unusableReason()));
        QVERIFY(!db.isOpen());
        QCOMPARE(db.dailyBackup(), QString());
        QVERIFY(!QFileInfo::exists(backupFolder(path)));

        QVERIFY(QFile::remove(path));
        QVERIFY2(db.open(path, &error), qPrintable(error));
        QCOMPARE(db.unusableReason(), QString());
        QVERIFY(!db.dailyBackup().isEmpty());
    }

    void setAsideCopiesAreListedButNeverRotated()
    {
        const QString path = freshDatabase(QStringLiteral("listing"));
        const QDir folder(backupFolder(path));
        QDir().mkpath(folder.path());
        const QString setAside = QStringLiteral("plindor-恢复前-20200105-093000.db");
        QStringList names{setAside, QStringLiteral("plindor-other.db"), QStringLiteral("notes.txt")};
        for (int day = 1; day <= 29; ++day)
            names << QStringLiteral("plindor-202001%1.db").arg(day, 2, 10, QLatin1Char('0'));
        for (const QString &name : names) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(name.size(), 'x'));
        }

        QVERIFY(!db.dailyBackup().isEmpty());
        QVERIFY(QFile::exists(folder.filePath(setAside)));
        QVERIFY(!QFile::exists(folder.filePath(QStringLiteral("plindor-20200101.db"))));
        QCOMPARE(folder.entryList({QStringLiteral("plindor-2*.db")}, QDir::Files).size(), 29);

        const QList<BackupInfo> listed = Database::listBackups(folder.path());
        QCOMPARE(listed.size(), 30);
        QCOMPARE(listed.at(0).fileName, todaysBackupName());
        QCOMPARE(listed.at(0).madeAt, QDateTime(QDate::currentDate(), QTime(0, 0)));
        QCOMPARE(listed.at(1).fileName, QStringLiteral("plindor-20200129.db"));
        QCOMPARE(listed.at(1).size, qint64(QStringLiteral("plindor-20200129.db").size()));
        QVERIFY(!listed.at(1).setAside);
        // Between the copies of the 5th and the 6th, by the moment it was made.
        QCOMPARE(listed.at(24).fileName, QStringLiteral("plindor-20200106.db"));
        QCOMPARE(listed.at(25).fileName, setAside);
        QVERIFY(listed.at(25).setAside);
        QCOMPARE(listed.at(25).madeAt, QDateTime(QDate(2020, 1, 5), QTime(9, 30)));
        QCOMPARE(listed.at(26).fileName, QStringLiteral("plindor-20200105.db"));
        QCOMPARE(listed.last().path, folder.absoluteFilePath(QStringLiteral("plindor-20200102.db")));
    }

    void backupIsReadWithoutTouchingIt()
    {
        const QString path = freshDatabase(QStringLiteral("inspect"));
        db.upsert(QStringLiteral("items"), {{"id", "a"}}, nullptr);
        db.upsert(QStringLiteral("items"), {{"id", "b"}}, nullptr);
        db.upsert(QStringLiteral("relations"), {{"id", "r"}}, nullptr);
        db.softDelete(QStringLiteral("items"), QStringLiteral("b"), nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());

        QJsonObject counts;
        QString error;
        QVERIFY2(Database::backupCounts(backup, &counts, &error), qPrintable(error));
        QCOMPARE(counts, (QJsonObject{{"items", 1},
                                      {"transactions", 0},
                                      {"categories", 0},
                                      {"locations", 0},
                                      {"customers", 0},
                                      {"relations", 1}}));
        QCOMPARE(Database::quickCheck(backup), QStringLiteral("ok"));
        QCOMPARE(QDir(backupFolder(path)).entryList(QDir::Files), QStringList{todaysBackupName()});

        const QString damaged = dir.filePath(QStringLiteral("inspect-damaged.db"));
        QVERIFY(testutil::damageCopy(backup, damaged));
        QVERIFY(Database::quickCheck(damaged) != QStringLiteral("ok"));
        QVERIFY(!Database::quickCheck(dir.filePath(QStringLiteral("none.db"))).isEmpty());
        QVERIFY(Database::quickCheck(dir.filePath(QStringLiteral("none.db"))) != QStringLiteral("ok"));
        QVERIFY(!Database::backupCounts(dir.filePath(QStringLiteral("none.db")), &counts, &error));
    }

    void restoreReplacesTheDatabaseAndSetsItAside()
    {
        const QString path = freshDatabase(QStringLiteral("restore"));
        for (const char *id : {"kept-1", "kept-2"})
            db.upsert(QStringLiteral("items"), {{"id", id}, {"name", "轴承"}}, nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());
        // Made after the backup: in the log only, not yet in the main file.
        db.upsert(QStringLiteral("items"), {{"id", "late"}, {"name", "新到"}}, nullptr);
        db.upsert(QStringLiteral("customers"), {{"id", "c-late"}}, nullptr);
        QVERIFY(QFileInfo(path + QStringLiteral("-wal")).size() > 0);

        QStringList stages;
        qint64 lastDone = -1;
        qint64 lastTotal = -1;
        const auto progress = [&](const QString &stage, qint64 done, qint64 total) {
            if (stages.isEmpty() || stages.last() != stage)
                stages << stage;
            lastDone = done;
            lastTotal = total;
            QVERIFY(done <= total);
        };
        QString aside;
        QString error;
        {
            const testutil::StoppedClock clock(QDateTime(QDate(2024, 3, 15), QTime(10, 15, 30)));
            QVERIFY2(db.restoreFrom(backup, &aside, &error, progress), qPrintable(error));
        }
        QCOMPARE(stages, (QStringList{"正在另存当前数据库…", "正在复制备份…", "正在检查备份…"}));
        QCOMPARE(lastDone, 0);
        QCOMPARE(lastTotal, 0);

        QVERIFY(db.isOpen());
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList({"kept-1", "kept-2"}));
        QCOMPARE(db.rows(QStringLiteral("customers")).size(), 0);
        QCOMPARE(rawValue(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        QCOMPARE(rawValue(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
        QVERIFY(!QFile::exists(path + QStringLiteral(".restoring")));

        QCOMPARE(QFileInfo(aside).absolutePath(), QFileInfo(backup).absolutePath());
        QVERIFY(Database::isSetAsideCopy(QFileInfo(aside).fileName()));
        QVERIFY(QFileInfo(aside).fileName().contains(
            QRegularExpression(QStringLiteral("^plindor-恢复前-\\d{8}-\\d{6}\\.db$"))));
        // Named by the moment it was set aside.
        QCOMPARE(QFileInfo(aside).fileName(), QStringLiteral("plindor-恢复前-20240315-101530.db"));
        QCOMPARE(valueFromFile(aside, QStringLiteral("SELECT group_concat(id) FROM (SELECT id FROM items ORDER BY id)"))
                     .toString(),
                 QStringLiteral("kept-1,kept-2,late"));
        QCOMPARE(valueFromFile(aside, QStringLiteral("SELECT COUNT(*) FROM customers")).toInt(), 1);
        QCOMPARE(Database::quickCheck(aside), QStringLiteral("ok"));

        // The restored database takes writes, and a merge, as any other.
        const MergeResult merged =
            db.merge({{"items", QJsonArray{QJsonObject{{"id", "after"}, {"updatedAt", "2026-01-01 00:00:00"}}}}});
        QCOMPARE(merged.perTable.value("items").toInt(), 1);
        QCOMPARE(db.rows(QStringLiteral("items")).size(), 3);
        QCOMPARE(valueFromFile(aside, QStringLiteral("SELECT COUNT(*) FROM items WHERE id = 'after'")).toInt(), 0);
    }

    // Every step of a restore lasts before the next relies on it: the copy set aside (flushed, renamed, its
    // folder flushed) before the database is touched, the removal of the old log before the restored copy
    // takes the file's name, and that name before the restore is reported.
    void restoreIsDurableStepByStep_data()
    {
        QTest::addColumn<bool>("logKept");
        QTest::newRow("log removed on closing") << false;
        // Another program that has read the file keeps SQLite from removing the log: the restore does.
        QTest::newRow("log kept by another program") << true;
    }

    void restoreIsDurableStepByStep()
    {
        QFETCH(bool, logKept);
        const QString path = freshDatabaseForRow(QStringLiteral("durable-restore"));
        db.upsert(QStringLiteral("items"), {{"id", "in-backup"}}, nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());
        db.upsert(QStringLiteral("items"), {{"id", "after-backup"}}, nullptr);
        std::optional<testutil::SideConnection> other;
        if (logKept) {
            other.emplace(path);
            QVERIFY(other->exec(QStringLiteral("SELECT COUNT(*) FROM items")));
        }

        testutil::FileSteps steps(QFileInfo(path).absolutePath());
        QString aside;
        QString error;
#ifdef Q_OS_WIN
        // Windows removes no file that another program holds open: the restore is refused whole.
        if (logKept) {
            QVERIFY(!db.restoreFrom(backup, &aside, &error));
            QVERIFY2(error.contains(QStringLiteral("当前数据库未改动")), qPrintable(error));
            QStringList ids = idsOf(db.rows(QStringLiteral("items")));
            ids.sort();
            QCOMPARE(ids, QStringList({"after-backup", "in-backup"}));
            db.close();
            other.reset();
            return;
        }
#endif
        QVERIFY2(db.restoreFrom(backup, &aside, &error), qPrintable(error));
        const QString asideName = QStringLiteral("备份/") + QFileInfo(aside).fileName();
        const QStringList removals =
            logKept ? QStringList{"remove plindor.db-wal", "remove plindor.db-shm"} : QStringList();
        QStringList expected{"flush file " + asideName + ".part", "rename " + asideName, "flush folder 备份",
                             "flush file plindor.db.restoring"};
#ifdef Q_OS_WIN
        // There the copy set aside is a copy, not a link: it is flushed once written, and again on its commit.
        expected.prepend("flush file " + asideName + ".part");
#endif
        expected << removals << QStringList({"flush folder .", "rename plindor.db", "flush folder ."});
        QCOMPARE(steps.seen.join(QLatin1Char('\n')), expected.join(QLatin1Char('\n')));
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList{"in-backup"});
        QCOMPARE(valueFromFile(aside, QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 2);
        // The other program's connection still refers to the file set aside; it goes after the program's own.
        db.close();
        other.reset();
    }

    void restoreDropsALogLeftByACrash()
    {
        // A program that died with rows in its log: the files as the crash left them.
        const QString live = freshDatabase(QStringLiteral("crash-source"));
        db.upsert(QStringLiteral("items"), {{"id", "in-backup"}}, nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());
        for (int i = 0; i < 50; ++i)
            db.upsert(QStringLiteral("items"), {{"id", QStringLiteral("ghost-%1").arg(i)}}, nullptr);
        const QString crashed = dir.filePath(QStringLiteral("crashed/data/plindor.db"));
        QDir().mkpath(QFileInfo(crashed).absolutePath());
        for (const QString &suffix : {QString(), QStringLiteral("-wal")})
            QVERIFY(QFile::copy(live + suffix, crashed + suffix));
        QVERIFY(QFileInfo(crashed + QStringLiteral("-wal")).size() > 0);
        db.close();

        QString error;
        QVERIFY2(db.open(crashed, &error), qPrintable(error));
        QCOMPARE(db.rows(QStringLiteral("items")).size(), 51);
        QString aside;
        QVERIFY2(db.restoreFrom(backup, &aside, &error), qPrintable(error));
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList{"in-backup"});
        QCOMPARE(valueFromFile(aside, QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 51);

        // And so it stays on the next start.
        db.close();
        QVERIFY(!QFile::exists(crashed + QStringLiteral("-wal")));
        QVERIFY2(db.open(crashed, &error), qPrintable(error));
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList{"in-backup"});
        QCOMPARE(rawValue(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
    }

    // A database that fails its check at start-up is the usual reason to restore: it is replaced all the
    // same, and set aside byte for byte.
    void restoreOverAnUnusableDatabase_data()
    {
        QTest::addColumn<bool>("damaged");
        QTest::newRow("damaged pages") << true;
        QTest::newRow("not a database") << false;
    }

    void restoreOverAnUnusableDatabase()
    {
        QFETCH(bool, damaged);
        const QString path = freshDatabase(QStringLiteral("unusable-%1").arg(QTest::currentDataTag()));
        db.upsert(QStringLiteral("items"), {{"id", "in-backup"}}, nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());
        db.close();
        QVERIFY(QFile::remove(path));
        if (damaged) {
            QVERIFY(testutil::damageCopy(backup, path));
        } else {
            QFile text(path);
            QVERIFY(text.open(QIODevice::WriteOnly));
            text.write(QByteArray("货架清单\n").repeated(2000));
        }
        QString error;
        QVERIFY(!db.open(path, &error));
        QVERIFY(!db.unusableReason().isEmpty());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        QString aside;
        QVERIFY2(db.restoreFrom(backup, &aside, &error), qPrintable(error));
        QVERIFY2(db.unusableReason().isEmpty(), qPrintable(db.unusableReason()));
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList{"in-backup"});
        QCOMPARE(rawValue(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        QFile setAside(aside);
        QVERIFY(setAside.open(QIODevice::ReadOnly));
        QCOMPARE(setAside.readAll(), before);
    }

    void failedRestoreLeavesTheDatabaseAsItWas_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("damaged copy") << "damaged"
                                      << "所选备份已损坏或不是主库备份";
        QTest::newRow("not a database") << "text"
                                        << "所选备份已损坏或不是主库备份";
        QTest::newRow("another program's database") << "foreign"
                                                    << "读不出物品";
        QTest::newRow("no room for the copy beside the database") << "occupied"
                                                                  << "复制备份失败";
        QTest::newRow("backup folder unusable") << "nofolder"
                                                << "另存当前数据库失败";
        QTest::newRow("missing copy") << "missing"
                                      << "找不到备份文件";
        QTest::newRow("another connection reading") << "reader"
                                                    << "当前数据库正被使用";
    }

    void failedRestoreLeavesTheDatabaseAsItWas()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        const QString path = freshDatabase(QStringLiteral("fail-") + fault);
        for (int i = 0; i < 300; ++i)
            db.upsert(QStringLiteral("items"), {{"id", QStringLiteral("old-%1").arg(i)}, {"name", QString(80, u'件')}},
                      nullptr);
        const QString good = db.dailyBackup();
        QVERIFY(!good.isEmpty());
        db.upsert(QStringLiteral("items"), {{"id", "newest"}}, nullptr);
        QVERIFY(db.saveVersion(QStringLiteral("存档"), QStringLiteral("qt")));

        QString chosen = dir.filePath(QStringLiteral("chosen-%1.db").arg(fault));
        if (fault == QLatin1String("damaged")) {
            QVERIFY(testutil::damageCopy(good, chosen));
        } else if (fault == QLatin1String("text")) {
            QFile file(chosen);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(20000, 'x'));
        } else if (fault == QLatin1String("foreign")) {
            QVERIFY(testutil::execOnFile(chosen, QStringLiteral("CREATE TABLE notes (text TEXT)")));
        } else if (fault == QLatin1String("occupied") || fault == QLatin1String("reader")) {
            chosen = good;
            if (fault == QLatin1String("occupied"))
                QVERIFY(QDir().mkpath(path + QStringLiteral(".restoring/inside")));
        } else if (fault == QLatin1String("nofolder")) {
            QVERIFY(QFile::copy(good, chosen));
            QVERIFY(QDir(backupFolder(path)).removeRecursively());
            QFile blocker(backupFolder(path));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }
        // A reader in the middle of its reading keeps the log from being written into the file.
        std::optional<testutil::SideConnection> holder(std::in_place, path);
        QVERIFY(holder->database().isOpen());
        QSqlQuery reading(holder->database());
        if (fault == QLatin1String("reader"))
            QVERIFY(reading.exec(QStringLiteral("SELECT id FROM items")) && reading.next());
        const QJsonArray before = db.rows(QStringLiteral("items"));
        const int versionsBefore = versionCount();
        const QStringList backupsBefore = QDir(backupFolder(path)).entryList(QDir::Files);

        QString aside = QStringLiteral("untouched");
        QString error;
        QVERIFY(!db.restoreFrom(chosen, &aside, &error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        QCOMPARE(aside, QStringLiteral("untouched"));

        QVERIFY(db.isOpen());
        QCOMPARE(db.rows(QStringLiteral("items")), before);
        QCOMPARE(versionCount(), versionsBefore);
        QCOMPARE(rawValue(QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        QCOMPARE(QDir(backupFolder(path)).entryList(QDir::Files), backupsBefore);
        QVERIFY(!QFileInfo(path + QStringLiteral(".restoring")).isFile());
        // Still the database the program writes to.
        QVERIFY(!db.upsert(QStringLiteral("items"), {{"id", "after-failure"}}, nullptr).isEmpty());
        reading = QSqlQuery();
        holder.reset();
        db.close();
        QCOMPARE(valueFromFile(path, QStringLiteral("SELECT COUNT(*) FROM items")).toInt(), 302);
    }
};

TOVANIK_TEST_GUILESS_MAIN(BackupTest)
#include "tst_backup.moc"
