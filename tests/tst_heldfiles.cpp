#include "app/settings.h"
#include "storagetestcase.h"
#include "testmain.h"
#include "teststorage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

namespace {

// Another program holding a file open until this goes.
class Holder
{
public:
    Holder(const QString &path, const char *share)
    {
        process.start(QStringLiteral(TOVANIK_HOLDFILE), {QDir::toNativeSeparators(path), QString::fromLatin1(share)});
        if (process.waitForReadyRead(20000))
            holds = process.readAllStandardOutput().trimmed() == "held";
    }
    ~Holder() { release(); }

    void release()
    {
        process.closeWriteChannel();
        process.waitForFinished(20000);
    }

    bool holds = false;

private:
    QProcess process;
};

const QString heldReason = QStringLiteral("正被其他程序占用");

} // namespace

// Windows will not replace a file that another program holds open without letting it be deleted: Excel
// showing an exported file, an antivirus or a backup tool reading the database. Every write that must
// replace such a file fails whole, says so in Chinese, and succeeds once the file is let go.
class HeldFilesTest : public StorageTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void settingsFileKeepsItsOldContent()
    {
        const QString path = dir.filePath(QStringLiteral("config.json"));
        QVERIFY(settings::write(path, {{"deviceName", "旧名字"}}));
        QString why;
        {
            Holder excel(path, "read");
            QVERIFY(excel.holds);
            QVERIFY(!settings::write(path, {{"deviceName", "新名字"}}, &why));
            QVERIFY2(why.contains(heldReason), qPrintable(why));
            QCOMPARE(settings::read(path).value("deviceName").toString(), QStringLiteral("旧名字"));
        }
        QVERIFY(!QFile::exists(path + QStringLiteral(".part")));
        QVERIFY2(settings::write(path, {{"deviceName", "新名字"}}, &why), qPrintable(why));
        QCOMPARE(settings::read(path).value("deviceName").toString(), QStringLiteral("新名字"));
    }

    void restoreLeavesTheDatabaseAsItWas()
    {
        const QString path = freshDatabase(QStringLiteral("restore"));
        db.upsert(QStringLiteral("items"), {{"id", "in-backup"}}, nullptr);
        const QString backup = db.dailyBackup();
        QVERIFY(!backup.isEmpty());
        db.upsert(QStringLiteral("items"), {{"id", "after-backup"}}, nullptr);
        const QStringList backups = QDir(backupFolder(path)).entryList(QDir::Files);

        QString aside;
        QString error;
        {
            Holder scanner(path, "readwrite");
            QVERIFY(scanner.holds);
            QVERIFY(!db.restoreFrom(backup, &aside, &error));
            QVERIFY2(error.contains(heldReason), qPrintable(error));
            QVERIFY(db.isOpen());
            QStringList ids = idsOf(db.rows(QStringLiteral("items")));
            ids.sort();
            QCOMPARE(ids, QStringList({"after-backup", "in-backup"}));
            QCOMPARE(QDir(backupFolder(path)).entryList(QDir::Files), backups);
            QVERIFY(!QFile::exists(path + QStringLiteral(".restoring")));
        }
        QVERIFY2(db.restoreFrom(backup, &aside, &error), qPrintable(error));
        QCOMPARE(idsOf(db.rows(QStringLiteral("items"))), QStringList{"in-backup"});
        db.close();
    }

    void compactionLeavesTheDatabaseAsItWas()
    {
        const QString path = freshDatabase(QStringLiteral("compact"));
        for (int i = 0; i < 200; ++i)
            db.upsert(QStringLiteral("items"), {{"id", QStringLiteral("item-%1").arg(i)}}, nullptr);
        qint64 before = 0;
        qint64 after = 0;
        QString error;
        {
            Holder backupTool(path, "readwrite");
            QVERIFY(backupTool.holds);
            QVERIFY(!db.compact(&before, &after, &error));
            QVERIFY2(error.contains(heldReason), qPrintable(error));
            QVERIFY(db.isOpen());
            QCOMPARE(db.counts().value(QStringLiteral("items")).toInt(), 200);
            QVERIFY(!QFile::exists(path + QStringLiteral(".compacting")));
        }
        QVERIFY2(db.compact(&before, &after, &error), qPrintable(error));
        QCOMPARE(db.counts().value(QStringLiteral("items")).toInt(), 200);
        QCOMPARE(valueFromFile(path, QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
        db.close();
    }
};

TOVANIK_TEST_GUILESS_MAIN(HeldFilesTest)
#include "tst_heldfiles.moc"
