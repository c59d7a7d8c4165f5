#include "storage/diskspace.h"
#include "storage/durablefile.h"
#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <sys/mount.h>
#endif

namespace {

constexpr qint64 KB = 1024;
constexpr qint64 MB = 1024 * KB;
constexpr qint64 GB = 1024 * MB;

} // namespace

// The sizing and wording of the free-space checks, without a disk; and the system's reasons as a real
// full file system gives them.
class DiskSpaceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { diskspace::setMargin(-1); }

    void formatSize_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("bytes") << qint64(512) << "512 B";
        QTest::newRow("nothing") << qint64(0) << "0 B";
        QTest::newRow("one KB") << KB << "1.0 KB";
        QTest::newRow("MB") << 35 * MB + 100 * KB << "35.1 MB";
        QTest::newRow("GB") << GB + GB / 5 << "1.2 GB";
        QTest::newRow("just under a GB") << GB - 1 << "1024.0 MB";
        QTest::newRow("TB") << 2048 * GB << "2.0 TB";
    }

    void formatSize()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(diskspace::formatSize(bytes), text);
    }

    // 1 GB, or 5% of a disk too small for 1 GB to be a fair share.
    void margin_data()
    {
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("margin");
        QTest::newRow("large disk") << 500 * GB << GB;
        QTest::newRow("20 GB") << 20 * GB << GB;
        QTest::newRow("small disk") << 8 * GB << 8 * GB / 20;
        QTest::newRow("tmpfs") << 200 * MB << 10 * MB;
        QTest::newRow("unknown size") << qint64(-1) << GB;
    }

    void margin()
    {
        QFETCH(qint64, total);
        QFETCH(qint64, margin);
        QCOMPARE(diskspace::margin(total), margin);
        diskspace::setMargin(123);
        QCOMPARE(diskspace::margin(total), qint64(123));
    }

    void shortage_data()
    {
        QTest::addColumn<qint64>("need");
        QTest::addColumn<qint64>("available");
        QTest::addColumn<QString>("text");
        // A 100 GB disk: the margin is 1 GB.
        QTest::newRow("plenty") << 50 * MB << 30 * GB << QString();
        QTest::newRow("exactly the margin left") << 200 * MB << GB + 200 * MB << QString();
        QTest::newRow("one byte short") << 200 * MB << GB + 200 * MB - 1 << "磁盘空间不足：需要约 1.2 GB，剩余 1.2 GB";
        QTest::newRow("inside the margin") << 21 * MB << 800 * MB << "磁盘空间不足：需要约 1.0 GB，剩余 800.0 MB";
        QTest::newRow("free unknown") << 21 * MB << qint64(-1) << QString();
    }

    void shortage()
    {
        QFETCH(qint64, need);
        QFETCH(qint64, available);
        QFETCH(QString, text);
        const QString said = diskspace::shortage(need, {available, 100 * GB});
        QCOMPARE(said, text);
        QCOMPARE(diskspace::isShortage(said), !text.isEmpty());
    }

    // Warned while 20 more versions and a backup still fit above the margin; told how many changes fit.
    void warningLevel()
    {
        const qint64 version = 21 * MB;
        const qint64 backup = 30 * MB;
        const qint64 level = diskspace::warningLevel(version, backup, 100 * GB);
        QCOMPARE(level, GB + 20 * version + backup);
        // At the warning level, a version is far from refused.
        QVERIFY(diskspace::shortage(version, {level, 100 * GB}).isEmpty());
        QCOMPARE(diskspace::versionsThatFit(version, {level, 100 * GB}), qint64(21));
        QCOMPARE(diskspace::versionsThatFit(version, {GB + 3 * version + 1, 100 * GB}), qint64(3));
        QCOMPARE(diskspace::versionsThatFit(version, {GB / 2, 100 * GB}), qint64(0));
    }

    void osReason_data()
    {
        QTest::addColumn<QString>("system");
        QTest::addColumn<QString>("said");
        QTest::newRow("full") << "No space left on device"
                              << "磁盘空间已满（No space left on device）";
        QTest::newRow("read-only") << "Read-only file system"
                                   << "磁盘是只读的，无法写入（Read-only file system）";
        QTest::newRow("permission") << "Permission denied"
                                    << "没有权限写入这个位置（Permission denied）";
        QTest::newRow("windows in use")
            << "The process cannot access the file because it is being used by another process."
            << "文件正被其他程序占用（The process cannot access the file because it is being used by another process.）";
        QTest::newRow("windows full") << "There is not enough space on the disk."
                                      << "磁盘空间已满（There is not enough space on the disk.）";
        QTest::newRow("unknown") << "Something else"
                                 << "Something else";
    }

    void osReason()
    {
        QFETCH(QString, system);
        QFETCH(QString, said);
        QCOMPARE(diskspace::osReason(system), said);
    }

    // A file written on a really full disk fails with the reason in Chinese, the system's words kept,
    // and leaves nothing behind.
    void fullDiskSaysWhyInChinese()
    {
#ifdef Q_OS_LINUX
        QTemporaryDir dir;
        const QString point = dir.filePath(QStringLiteral("tiny"));
        QDir().mkpath(point);
        if (::mount("tmpfs", QFile::encodeName(point).constData(), "tmpfs", 0, "size=1m") != 0)
            QSKIP("a tmpfs cannot be mounted here (needs root)");
        const diskspace::Space space = diskspace::of(QDir(point).filePath(QStringLiteral("not/yet/there.db")));
        QVERIFY(space.total > 0 && space.total <= 2 * MB);
        QString why;
        const bool written =
            durablefile::write(QDir(point).filePath(QStringLiteral("big.json")), QByteArray(3 * MB, 'x'), &why);
        const QStringList left = QDir(point).entryList(QDir::Files);
        ::umount2(QFile::encodeName(point).constData(), MNT_DETACH);
        QVERIFY(!written);
        QVERIFY2(why.startsWith(QStringLiteral("磁盘空间已满：")), qPrintable(why));
        QVERIFY(why.contains(QStringLiteral("No space left on device")));
        QCOMPARE(left, QStringList());
#else
        QSKIP("mounting a small file system is done on Linux only");
#endif
    }
};

TOVANIK_TEST_GUILESS_MAIN(DiskSpaceTest)
#include "tst_diskspace.moc"
