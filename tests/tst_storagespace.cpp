#include "storage/backupfiles.h"
#include "storage/clock.h"
#include "storage/database.h"
#include "storage/diskspace.h"
#include "storagetestcase.h"
#include "sync/syncserver.h"
#include "testhttp.h"
#include "testmain.h"
#include "teststorage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStorageInfo>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#endif

// What the store takes on the disk, kept within bounds: writes sized against the free space on a small
// real file system, the kept numbers of versions and backups, and compaction.
class StorageSpaceTest : public StorageTestCase
{
    Q_OBJECT

    // A small file system of its own, so that "full" is real; empty where mounting is not allowed.
    QString small;

    // Items with texts long enough that each version takes a few hundred KB.
    void addItems(int count, const QString &prefix = QStringLiteral("i"))
    {
        for (int i = 0; i < count; ++i)
            db.upsert(QStringLiteral("items"),
                      {{"id", QStringLiteral("%1%2").arg(prefix).arg(i)},
                       {"name", QStringLiteral("深沟球轴承 %1 %2").arg(i).arg(QString(120, QChar(u'型')))}},
                      nullptr);
    }

    QString openOnSmallDisk(const QString &name)
    {
        const QString path = QDir(small).filePath(name + QStringLiteral("/data/plindor.db"));
        QString error;
        if (!db.open(path, &error))
            qFatal("open failed: %s", qPrintable(error));
        return path;
    }

    // Takes the free space of the small disk down to about bytes.
    bool leaveFree(qint64 bytes)
    {
        QFile ballast(QDir(small).filePath(QStringLiteral("ballast")));
        if (!ballast.open(QIODevice::WriteOnly | QIODevice::Append))
            return false;
        const QByteArray block(1024 * 1024, '\x5a');
        while (QStorageInfo(small).bytesAvailable() - block.size() > bytes) {
            if (ballast.write(block) != block.size())
                return false;
            ballast.flush();
        }
        const qint64 rest = QStorageInfo(small).bytesAvailable() - bytes;
        if (rest > 0)
            ballast.write(QByteArray(rest, '\x5a'));
        return true;
    }

    QList<int> versionIds()
    {
        QList<int> ids;
        const QList<VersionInfo> versions = db.listVersions(10000);
        for (const VersionInfo &version : versions)
            ids.prepend(version.id);
        return ids;
    }

    QStringList backupNames(const QString &path) { return QDir(backupFolder(path)).entryList(QDir::Files, QDir::Name); }

private Q_SLOTS:
    void initTestCase()
    {
#ifdef Q_OS_LINUX
        const QString point = dir.filePath(QStringLiteral("small"));
        QDir().mkpath(point);
        if (::mount("tmpfs", QFile::encodeName(point).constData(), "tmpfs", 0, "size=64m") == 0)
            small = point;
#endif
    }

    void cleanupTestCase()
    {
        db.close();
#ifdef Q_OS_LINUX
        if (!small.isEmpty())
            ::umount2(QFile::encodeName(small).constData(), MNT_DETACH);
#endif
    }

    void cleanup()
    {
        diskspace::setMargin(-1);
        db.setRetention(200, 30);
        db.close();
        // Each test starts with the small disk empty.
        if (!small.isEmpty()) {
            const QFileInfoList entries = QDir(small).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot);
            for (const QFileInfo &entry : entries)
                entry.isDir() ? QDir(entry.filePath()).removeRecursively() : QFile::remove(entry.filePath());
        }
    }

    // The disk fills version by version: the operator is warned while there is still room for many
    // changes, and only later is a version refused, before anything of it is written.
    void warningComesBeforeTheFirstRefusal()
    {
        if (small.isEmpty())
            QSKIP("a tmpfs cannot be mounted here (needs root); the refusal itself is tested with a set margin");
        openOnSmallDisk(QStringLiteral("fill"));
        db.setRetention(1000, 30);
        addItems(1500);
        int firstWarning = -1;
        int firstRefusal = -1;
        QString refusal;
        for (int save = 0; save < 1000 && firstRefusal < 0; ++save) {
            if (firstWarning < 0 && db.storageFigures().warning())
                firstWarning = save;
            const int before = versionCount();
            QString error;
            if (!db.saveVersion(QStringLiteral("界面手动存档"), QStringLiteral("qt-ui"), &error)) {
                firstRefusal = save;
                refusal = error;
                QCOMPARE(versionCount(), before);
            }
        }
        QVERIFY2(firstRefusal > 0, "the disk never refused a version");
        QVERIFY(firstWarning >= 0);
        // Warned with room for about twenty more versions.
        QVERIFY2(firstRefusal - firstWarning >= diskspace::warningVersions - 2,
                 qPrintable(QStringLiteral("warned at %1, refused at %2").arg(firstWarning).arg(firstRefusal)));
        QVERIFY2(refusal.startsWith(QStringLiteral("磁盘空间不足：需要约 ")), qPrintable(refusal));
        QVERIFY(refusal.contains(QStringLiteral("，剩余 ")));
        // The database is still whole and usable.
        QCOMPARE(db.unusableReason(), QString());
        QCOMPARE(db.counts().value(QStringLiteral("items")).toInt(), 1500);
        db.close();
    }

    // A push that does not fit is answered 503 with the reason and leaves the master as it was.
    void pushThatDoesNotFitIsRefused_data()
    {
        QTest::addColumn<bool>("onSmallDisk");
        QTest::newRow("full tmpfs") << true;
        QTest::newRow("set margin") << false;
    }

    void pushThatDoesNotFitIsRefused()
    {
        QFETCH(bool, onSmallDisk);
        if (onSmallDisk && small.isEmpty())
            QSKIP("a tmpfs cannot be mounted here (needs root)");
        const QString path =
            onSmallDisk ? openOnSmallDisk(QStringLiteral("push")) : freshDatabase(QStringLiteral("push"));
        addItems(800);
        QVERIFY(db.saveVersion(QStringLiteral("界面手动存档"), QStringLiteral("qt-ui")));
        const qint64 version = db.storageFigures().nextVersionBytes;
        if (onSmallDisk)
            QVERIFY(leaveFree(diskspace::margin(diskspace::of(path).total) + version / 2));
        else
            testutil::leaveNoRoom(path);
        const int versionsBefore = versionCount();

        SyncServer server;
        QSignalSpy logged(&server, &SyncServer::logMessage);
        const quint16 port = testutil::freePort();
        QVERIFY(server.start(port));
        const QJsonObject pushed{{"items", QJsonArray{QJsonObject{{"id", "new-1"}, {"name", "新物品"}}}}};
        const testutil::Reply reply = testutil::exchange(
            port, testutil::requestBytes("POST", "/import", QJsonDocument(pushed).toJson(QJsonDocument::Compact)));
        server.stop();

        QCOMPARE(reply.status, 503);
        const QString error = reply.json().value(QStringLiteral("error")).toString();
        QVERIFY2(error.startsWith(QStringLiteral("磁盘空间不足：需要约 ")), qPrintable(error));
        QVERIFY(error.contains(QStringLiteral("，剩余 ")));
        QCOMPARE(versionCount(), versionsBefore);
        QVERIFY(rowOf(QStringLiteral("items"), QStringLiteral("new-1")).isEmpty());
        bool toldTheLog = false;
        for (const QList<QVariant> &line : logged)
            toldTheLog = toldTheLog || line.at(0).toString().contains(error);
        QVERIFY(toldTheLog);
        db.close();
    }

    // The daily backup that does not fit is not begun: no partial copy, and the log says why.
    void dailyBackupThatDoesNotFit()
    {
        if (small.isEmpty())
            QSKIP("a tmpfs cannot be mounted here (needs root)");
        const QString path = openOnSmallDisk(QStringLiteral("backup"));
        addItems(3000);
        const qint64 size = QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
        QVERIFY(leaveFree(diskspace::margin(diskspace::of(path).total) + size / 2));

        QVERIFY(db.dailyBackupDue());
        QStringList notes;
        QCOMPARE(db.dailyBackup(&notes), QString());
        QCOMPARE(notes.size(), 1);
        QVERIFY2(notes.first().startsWith(QStringLiteral("自动备份数据库失败: 磁盘空间不足：需要约 ")),
                 qPrintable(notes.first()));
        QCOMPARE(QDir(backupFolder(path)).entryList(QDir::Files), QStringList());
        QVERIFY(db.dailyBackupDue());

        // With room again, the same day's backup is made.
        QFile::remove(QDir(small).filePath(QStringLiteral("ballast")));
        QVERIFY(!db.dailyBackup().isEmpty());
        db.close();
    }

    // Keeping fewer removes exactly the oldest: the newest N versions and the newest N daily copies up to
    // today stay, and the plan shown beforehand names what then goes.
    void pruningKeepsTheNewest_data()
    {
        QTest::addColumn<int>("versions");
        QTest::addColumn<int>("keepVersions");
        QTest::addColumn<int>("backups");
        QTest::addColumn<int>("keepBackups");
        QTest::newRow("fewer of both") << 30 << 10 << 9 << 3;
        QTest::newRow("versions within") << 8 << 10 << 9 << 5;
        QTest::newRow("backups within") << 25 << 24 << 3 << 3;
    }

    void pruningKeepsTheNewest()
    {
        QFETCH(int, versions);
        QFETCH(int, keepVersions);
        QFETCH(int, backups);
        QFETCH(int, keepBackups);
        const QString path = freshDatabaseForRow(QStringLiteral("prune"));
        addItems(20);
        for (int i = 0; i < versions; ++i)
            QVERIFY(db.saveVersion(QStringLiteral("v%1").arg(i), QStringLiteral("qt")));
        const QList<int> ids = versionIds();

        QDir().mkpath(backupFolder(path));
        QStringList dated;
        for (int day = backups; day >= 1; --day) {
            const QString name = backupfiles::dailyName(Clock::today().addDays(-day + 1));
            QFile copy(QDir(backupFolder(path)).filePath(name));
            QVERIFY(copy.open(QIODevice::WriteOnly));
            copy.write(QByteArray(1000 + day, 'b'));
            dated << name;
        }
        // Neither a copy set aside before a restore nor one dated after today is the rotation's.
        const QString aside = backupfiles::setAsideName(Clock::now().addDays(-40));
        const QString later = backupfiles::dailyName(Clock::today().addDays(3));
        for (const QString &name : {aside, later}) {
            QFile copy(QDir(backupFolder(path)).filePath(name));
            QVERIFY(copy.open(QIODevice::WriteOnly));
        }

        const Retention plan = db.retentionPlan(keepVersions, keepBackups);
        const Retention done = db.setRetention(keepVersions, keepBackups);
        QCOMPARE(done.error, QString());
        QCOMPARE(done.versions, plan.versions);
        QCOMPARE(done.backups, plan.backups);
        QCOMPARE(done.backupBytes, plan.backupBytes);
        QCOMPARE(versionIds(), ids.mid(qMax(0, ids.size() - keepVersions)));
        QStringList kept = dated.mid(qMax<qsizetype>(0, dated.size() - keepBackups));
        kept << aside << later;
        kept.sort();
        QCOMPARE(backupNames(path), kept);

        // From now on every new version keeps the history at the number.
        for (int i = 0; i < 3; ++i)
            QVERIFY(db.saveVersion(QStringLiteral("after"), QStringLiteral("qt")));
        QCOMPARE(versionCount(), qMin(keepVersions, versions + 3));
        QCOMPARE(versionIds().last(), ids.isEmpty() ? 3 : ids.last() + 3);
        db.close();
    }

    // The versions' size on the card is the bytes their snapshots hold: after versions of very different
    // sizes, after pruning, after a restore, and for versions stored without their size (by an older
    // program) once these are measured.
    void versionSizesAreExact()
    {
        freshDatabase(QStringLiteral("sizes"));
        const QString held = QStringLiteral("SELECT TOTAL(length(CAST(snapshot AS BLOB))) FROM versions");
        auto oldest = [](int count) {
            return QStringLiteral("SELECT TOTAL(length(CAST(snapshot AS BLOB))) FROM "
                                  "(SELECT snapshot FROM versions ORDER BY id LIMIT %1)")
                .arg(count);
        };
        addItems(5);
        QVERIFY(db.saveVersion(QStringLiteral("small"), QStringLiteral("qt")));
        addItems(600, QStringLiteral("b"));
        QVERIFY(db.saveVersion(QStringLiteral("large"), QStringLiteral("qt")));
        for (int i = 0; i < 40; ++i)
            QVERIFY(db.softDelete(QStringLiteral("items"), QStringLiteral("b%1").arg(i * 15), nullptr));
        QVERIFY(db.saveVersion(QStringLiteral("smaller"), QStringLiteral("qt")));
        QVERIFY(db.saveVersion(QStringLiteral("same"), QStringLiteral("qt")));
        QCOMPARE(db.storageFigures().versions, 4);
        QCOMPARE(db.storageFigures().versionBytes, rawValue(held).toLongLong());

        // Lowering the number kept to two frees what the two oldest hold, and the card shows the rest.
        const Retention plan = db.retentionPlan(2, 30);
        QCOMPARE(plan.versions, 2);
        QCOMPARE(plan.versionBytes, rawValue(oldest(2)).toLongLong());
        QCOMPARE(db.setRetention(2, 30).versions, 2);
        QCOMPARE(db.storageFigures().versions, 2);
        QCOMPARE(db.storageFigures().versionBytes, rawValue(held).toLongLong());
        QCOMPARE(rawValue(QStringLiteral("SELECT COUNT(*) FROM version_sizes")).toInt(), 2);

        // A copy of this state, restored after more versions, shows its own versions' size.
        const QString copy = db.dailyBackup();
        QVERIFY(!copy.isEmpty());
        const qint64 inCopy = valueFromFile(copy, held).toLongLong();
        addItems(300, QStringLiteral("c"));
        QVERIFY(db.saveVersion(QStringLiteral("later"), QStringLiteral("qt")));
        QString aside;
        QString error;
        QVERIFY2(db.restoreFrom(copy, &aside, &error), qPrintable(error));
        QCOMPARE(db.storageFigures().versions, 2);
        QCOMPARE(db.storageFigures().versionBytes, inCopy);

        // Versions of an older program's file have no size noted: they are measured, a few at a time.
        db.setRetention(200, 30);
        QVERIFY(QSqlQuery(QSqlDatabase::database(QStringLiteral("plindor")))
                    .exec(QStringLiteral("DELETE FROM version_sizes")));
        QVERIFY(db.saveVersion(QStringLiteral("new"), QStringLiteral("qt")));
        int noted = 0;
        for (int batch; (batch = db.noteVersionSizes(1)) > 0;)
            noted += batch;
        QCOMPARE(noted, 2);
        QCOMPARE(db.storageFigures().versions, 3);
        QCOMPARE(db.storageFigures().versionBytes, rawValue(held).toLongLong());
        db.close();
    }

    // Compaction gives the pages of removed versions back to the disk, keeping every row; where the
    // disk lacks room for the compact copy it is refused and nothing changes.
    void compactionShrinksTheFile()
    {
        const QString path = freshDatabase(QStringLiteral("compact"));
        addItems(400);
        for (int i = 0; i < 25; ++i)
            QVERIFY(db.saveVersion(QStringLiteral("v%1").arg(i), QStringLiteral("qt")));
        db.setRetention(10, 30);
        const QList<int> ids = versionIds();
        const StorageFigures figures = db.storageFigures();
        QVERIFY(figures.freeInsideBytes > 0);

        testutil::leaveNoRoom(path);
        qint64 before = 0;
        qint64 after = 0;
        QString error;
        QVERIFY(!db.compact(&before, &after, &error));
        QVERIFY2(error.startsWith(QStringLiteral("磁盘空间不足：需要约 ")), qPrintable(error));
        QVERIFY(db.isOpen());
        QCOMPARE(db.storageFigures().freeInsideBytes, figures.freeInsideBytes);
        QVERIFY(!QFile::exists(path + QStringLiteral(".compacting")));
        diskspace::setMargin(-1);

        int progressCalls = 0;
        QVERIFY2(db.compact(&before, &after, &error, [&](const QString &, qint64, qint64) { ++progressCalls; }),
                 qPrintable(error));
        QVERIFY(progressCalls > 0);
        QVERIFY2(after <= before - figures.freeInsideBytes / 2,
                 qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(after)));
        QCOMPARE(after, QFileInfo(path).size());
        QVERIFY(!QFile::exists(path + QStringLiteral(".compacting")));
        QCOMPARE(db.unusableReason(), QString());
        QCOMPARE(versionIds(), ids);
        QCOMPARE(db.counts().value(QStringLiteral("items")).toInt(), 400);
        QCOMPARE(valueFromFile(path, QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        QCOMPARE(db.storageFigures().freeInsideBytes, 0);
        // Still written to as before.
        QVERIFY(db.saveVersion(QStringLiteral("after"), QStringLiteral("qt")));
        db.close();
    }

    // A restore without room for the copy it brings in is refused before the database is touched.
    void restoreWithoutRoomIsRefused()
    {
        const QString path = freshDatabase(QStringLiteral("restore"));
        addItems(50);
        QVERIFY(!db.dailyBackup().isEmpty());
        db.upsert(QStringLiteral("items"), {{"id", "after-backup"}}, nullptr);
        const QStringList before = backupNames(path);

        testutil::leaveNoRoom(path);
        QString aside;
        QString error;
        QVERIFY(!db.restoreFrom(QDir(backupFolder(path)).filePath(todaysBackupName()), &aside, &error));
        QVERIFY2(error.startsWith(QStringLiteral("磁盘空间不足：需要约 ")), qPrintable(error));
        QVERIFY(db.isOpen());
        QCOMPARE(db.unusableReason(), QString());
        QVERIFY(!rowOf(QStringLiteral("items"), QStringLiteral("after-backup")).isEmpty());
        QCOMPARE(backupNames(path), before);
        db.close();
    }
};

TOVANIK_TEST_GUILESS_MAIN(StorageSpaceTest)
#include "tst_storagespace.moc"
