#include "app/instancelock.h"
#include "app/paths.h"
#include "app/processend.h"
#include "app/settings.h"
#include "storage/database.h"
#include "testhttp.h"
#include "teststorage.h"
#include "testutil.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <optional>

#ifdef Q_OS_LINUX
#include <csignal>
#include <grp.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

// Set when this program runs as the copy made by runRowInOpenFolder().
bool inOpenFolder = false;

#ifndef Q_OS_WIN
// Reads the process's output until it holds wanted, the process ends or 20 s pass.
bool readUntil(QProcess &process, QString &output, const QString &wanted)
{
    QElapsedTimer clock;
    clock.start();
    while (!output.contains(wanted) && clock.elapsed() < 20000) {
        if (!process.waitForReadyRead(200) && process.state() == QProcess::NotRunning) {
            output += QString::fromUtf8(process.readAllStandardOutput());
            break;
        }
        output += QString::fromUtf8(process.readAllStandardOutput());
    }
    return output.contains(wanted);
}
#endif

#ifdef Q_OS_LINUX
// Takes write access to a program folder and its data/ away until it goes: by a read-only bind mount,
// as a disk remounted read-only after errors (root only), or by file permissions, which bind all but root.
class ReadOnlyProgramFolder
{
public:
    ReadOnlyProgramFolder(const QString &folder, bool remount)
        : folder(folder)
        , remount(remount)
    {
        const QByteArray path = QFile::encodeName(folder);
        if (remount) {
            bound = ::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) == 0;
            readOnly =
                bound && ::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
            return;
        }
        for (const QFileInfo &file : QDir(dataFolder()).entryInfoList(QDir::Files))
            QFile::setPermissions(file.filePath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        for (const QString &each : {dataFolder(), folder})
            QFile::setPermissions(each, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
                                            | QFile::ReadOther | QFile::ExeOther);
        readOnly = true;
    }

    ~ReadOnlyProgramFolder()
    {
        if (remount) {
            if (bound)
                ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
            return;
        }
        const auto readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        for (const QString &each : {folder, dataFolder()})
            QFile::setPermissions(each, readable | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
        for (const QFileInfo &file : QDir(dataFolder()).entryInfoList(QDir::Files))
            QFile::setPermissions(file.filePath(), readable);
    }

    bool holds() const { return readOnly; }

private:
    QString dataFolder() const { return QDir(folder).filePath(QStringLiteral("data")); }

    QString folder;
    bool remount;
    bool bound = false;
    bool readOnly = false;
};
#endif

} // namespace

class AppTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pathsLieBesideTheExecutable()
    {
        const QString dir = QCoreApplication::applicationDirPath();
        QCOMPARE(databasePath(), QDir(dir).filePath(QStringLiteral("data/plindor.db")));
        QCOMPARE(configPath(), QDir(dir).filePath(QStringLiteral("config.json")));
        QVERIFY(QFileInfo(databasePath()).isAbsolute());
    }

    // The settings rules hold without a window: what each port in the file means, and what is logged.
    void settingsPort_data()
    {
        QTest::addColumn<QJsonValue>("stored");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("outOfRange");
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 9527 << "";
        QTest::newRow("in range") << QJsonValue(9000) << 9000 << "";
        QTest::newRow("lowest") << QJsonValue(1) << 1 << "";
        QTest::newRow("highest") << QJsonValue(65535) << 65535 << "";
        QTest::newRow("zero") << QJsonValue(0) << 9527 << "0";
        QTest::newRow("negative") << QJsonValue(-1) << 9527 << "-1";
        QTest::newRow("would wrap") << QJsonValue(74063) << 9527 << "74063";
        QTest::newRow("fraction") << QJsonValue(8080.5) << 9527 << "";
        QTest::newRow("text") << QJsonValue("9000") << 9527 << "";
    }

    void settingsPort()
    {
        QFETCH(QJsonValue, stored);
        QFETCH(int, port);
        QFETCH(QString, outOfRange);
        QJsonObject config;
        if (!stored.isUndefined())
            config.insert(QStringLiteral("syncPort"), stored);
        QCOMPARE(settings::port(config), port);
        QCOMPARE(settings::portOutOfRange(config), outOfRange);
        QCOMPARE(settings::namesPort(config), !stored.isUndefined());
    }

    // How many versions and backups are kept: the defaults while the file says nothing usable, the
    // number brought within its bounds otherwise; a first run writes neither key.
    void settingsKeptNumbers_data()
    {
        QTest::addColumn<QJsonValue>("stored");
        QTest::addColumn<int>("versions");
        QTest::addColumn<int>("backups");
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 200 << 30;
        QTest::newRow("in range") << QJsonValue(50) << 50 << 50;
        QTest::newRow("below") << QJsonValue(1) << 10 << 3;
        QTest::newRow("above") << QJsonValue(5000) << 1000 << 365;
        QTest::newRow("fraction") << QJsonValue(50.5) << 200 << 30;
        QTest::newRow("text") << QJsonValue("50") << 200 << 30;
    }

    void settingsKeptNumbers()
    {
        QFETCH(QJsonValue, stored);
        QFETCH(int, versions);
        QFETCH(int, backups);
        QJsonObject config = settings::firstRun();
        QVERIFY(!config.contains(QStringLiteral("keepVersions")) && !config.contains(QStringLiteral("keepBackups")));
        if (!stored.isUndefined()) {
            config.insert(QStringLiteral("keepVersions"), stored);
            config.insert(QStringLiteral("keepBackups"), stored);
        }
        QCOMPARE(settings::keepVersions(config), versions);
        QCOMPARE(settings::keepBackups(config), backups);
        settings::setRetention(config, versions, backups);
        QCOMPARE(config.value(QStringLiteral("keepVersions")).toInt(), versions);
        QCOMPARE(config.value(QStringLiteral("keepBackups")).toInt(), backups);
    }

    void settingsTypedPort_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("port");
        QTest::newRow("plain") << "9527" << 9527;
        QTest::newRow("spaces") << " 80 " << 80;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("too large") << "65536" << 0;
        QTest::newRow("hexadecimal") << "0x50" << 0;
        QTest::newRow("fraction") << "80.5" << 0;
        QTest::newRow("empty") << "" << 0;
    }

    void settingsTypedPort()
    {
        QFETCH(QString, typed);
        QFETCH(int, port);
        QCOMPARE(settings::portFromText(typed), port);
    }

    void settingsNamesAndKeys()
    {
        const QJsonObject config{{"syncKey", "  ABCD  "}, {"publicHost", " nas.example.org "}, {"deviceName", 5}};
        QCOMPARE(settings::key(config), QStringLiteral("ABCD"));
        QCOMPARE(settings::storedKey(config), QStringLiteral("  ABCD  "));
        QCOMPARE(settings::publicHost(config), QStringLiteral("nas.example.org"));
        QCOMPARE(settings::storedPublicHost(config), QStringLiteral(" nas.example.org "));
        QCOMPARE(settings::deviceName(config), QStringLiteral("电脑主库"));
        QCOMPARE(settings::deviceName({{"deviceName", ""}}), QString());
        QCOMPARE(settings::deviceName({{"deviceName", "二号库"}}), QStringLiteral("二号库"));

        QVERIFY(!settings::keyTooShort(QString()));
        QVERIFY(settings::keyTooShort(QStringLiteral("ABC")));
        QVERIFY(!settings::keyTooShort(QStringLiteral("ABCD")));

        const QString key = settings::newKey();
        QVERIFY2(QRegularExpression(QStringLiteral("^[ABCDEFGHJKLMNPQRSTUVWXYZ23456789]{12}$")).match(key).hasMatch(),
                 qPrintable(key));
        QVERIFY(settings::newKey() != key);

        QJsonObject saved{{"theme", "dark"}};
        settings::save(saved, QStringLiteral("WXYZ"), QString(), 8080, QString());
        QCOMPARE(saved, (QJsonObject{{"theme", "dark"},
                                     {"syncKey", "WXYZ"},
                                     {"deviceName", "电脑主库"},
                                     {"syncPort", 8080},
                                     {"publicHost", ""}}));
        QCOMPARE(settings::firstRun(),
                 (QJsonObject{{"syncPort", 9527}, {"deviceName", "电脑主库"}, {"syncKey", ""}, {"publicHost", ""}}));
    }

    void settingsFile()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("config.json"));
        QCOMPARE(settings::read(path), QJsonObject());
        const QJsonObject config{{"syncPort", 9000}, {"syncKey", "K7PQ"}, {"deviceName", "二号库"}, {"extra", true}};
        QVERIFY(settings::write(path, config));
        QCOMPARE(settings::read(path), config);

        // Flushed before it replaces the old file, and the folder flushed after: a power cut finds one or the other.
        {
            testutil::FileSteps steps(folder.path());
            QVERIFY(settings::write(path, config));
            QCOMPARE(steps.seen, QStringList({"flush file config.json.part", "rename config.json", "flush folder ."}));
        }

#ifdef Q_OS_LINUX
        // A file cut off by a full disk (here a file size limit, which cuts it off the same way) leaves
        // the old file as it was, nothing beside it, and the caller told.
        QJsonObject large = config;
        large.insert(QStringLiteral("notes"), QString(4096, u'备'));
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 1024;
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const bool written = settings::write(path, large);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        QVERIFY(!written);
        QCOMPARE(settings::read(path), config);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{"config.json"});
#endif

        QFile cut(path);
        QVERIFY(cut.open(QIODevice::WriteOnly | QIODevice::Truncate));
        cut.write("{\"syncPort\": 90");
        cut.close();
        QCOMPARE(settings::read(path), QJsonObject());

        // A folder where the file should be: nothing is written, and the caller is told.
        const QString blocked = folder.filePath(QStringLiteral("blocked.json"));
        QVERIFY(QDir().mkpath(blocked));
        QVERIFY(!settings::write(blocked, config));
        QVERIFY(QFileInfo(blocked).isDir());
    }

    void freshFolderCreatesTheDatabase()
    {
        QVERIFY(testutil::resetProgramFolder(testutil::quietConfig()));
        {
            MainWindow window;
            QVERIFY(testutil::settle(window));
            QCOMPARE(window.windowTitle(), QStringLiteral("Tovanik · 电脑主库"));
            QCOMPARE(window.size(), QSize(1180, 760));
            QVERIFY(QFile::exists(databasePath()));
            QVERIFY(Database::instance().isOpen());
            QVERIFY(QFileInfo(databasePath() + QStringLiteral("-wal")).size() > 0);
        }
        QVERIFY(!Database::instance().isOpen());
        // A clean exit leaves the whole database in its file, with no log beside it.
        QCOMPARE(QFileInfo(databasePath() + QStringLiteral("-wal")).size(), 0);
    }

    void unopenableDatabaseShowsCriticalBoxAndGoesOn()
    {
        QVERIFY(testutil::resetProgramFolder(testutil::quietConfig()));
        QVERIFY(QDir().mkpath(databasePath()));
        QString text;
        QString title;
        testutil::answerNextBox(QMessageBox::Ok, &text, &title);
        MainWindow window;
        QVERIFY(testutil::settle(window));
        QCOMPARE(title, QStringLiteral("数据库打开失败"));
        QVERIFY2(text.startsWith(QStringLiteral("打开数据库失败: ")), qPrintable(text));
        window.show();
        QVERIFY(window.isVisible());
        QVERIFY(!Database::instance().isOpen());
    }

    // A second copy started from the same folder is refused while the first one runs and opens nothing;
    // once the first is killed, the lock file it leaves behind no longer blocks.
    void oneProgramPerFolder()
    {
        QVERIFY(testutil::resetProgramFolder(testutil::quietConfig()));
        QProcess first;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        first.setProcessEnvironment(environment);
        first.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold-lock")});
        QVERIFY(first.waitForReadyRead(20000));
        QCOMPARE(first.readAllStandardOutput().trimmed(), QByteArray("locked"));

        // A program that has run for an hour still holds its lock.
        QFile lockFile(lockFilePath());
        QVERIFY(lockFile.open(QIODevice::ReadOnly));
        QVERIFY(lockFile.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        lockFile.close();

        QString title;
        QString text;
        testutil::answerNextBox(QMessageBox::Ok, &text, &title);
        QVERIFY(!InstanceLock(lockFilePath()).claim());
        QCOMPARE(title, QStringLiteral("程序已在运行"));
        QVERIFY2(text.contains(QStringLiteral("已经从这个文件夹启动")), qPrintable(text));
        QVERIFY2(text.contains(QString::number(first.processId())), qPrintable(text));
        QVERIFY(!QFile::exists(databasePath()));

        first.kill();
        QVERIFY(first.waitForFinished(20000));
        QVERIFY(QFile::exists(lockFilePath()));
        InstanceLock next(lockFilePath());
        QVERIFY(next.tryLock());
        QVERIFY(!InstanceLock(lockFilePath()).tryLock());
    }

    // A program killed on Windows leaves its lock file, and the next program may get its process number
    // (Wine gives it the very same): Qt alone takes the lock for held, the program takes it over.
    void lockOfAKilledProgramWithThisProcessNumber()
    {
#ifndef Q_OS_WIN
        QSKIP("Windows' lock files");
#else
        QVERIFY(testutil::resetProgramFolder(testutil::quietConfig()));
        QVERIFY(QDir().mkpath(QFileInfo(lockFilePath()).absolutePath()));
        QFile left(lockFilePath());
        QVERIFY(left.open(QIODevice::WriteOnly));
        left.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n'
                   + QFileInfo(QCoreApplication::applicationFilePath()).baseName().toUtf8() + '\n'
                   + QSysInfo::machineHostName().toUtf8() + '\n' + QSysInfo::machineUniqueId() + "\n\n");
        left.close();
        QLockFile byQt(lockFilePath());
        byQt.setStaleLockTime(0);
        QVERIFY(!byQt.tryLock(0));

        InstanceLock next(lockFilePath());
        QVERIFY(next.tryLock());
        QVERIFY(!InstanceLock(lockFilePath()).tryLock());
#endif
    }

    // A damaged, foreign or read-only database: the start-up box names the reason, the status card
    // shows it, phones are answered 503 with it, and no backup is made of the file.
    void startupOnUnusableFile_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("reason");
        QTest::newRow("truncated") << "truncated" << QStringLiteral("数据库文件已损坏");
        QTest::newRow("a random page of items") << "page" << QStringLiteral("数据库文件已损坏");
        QTest::newRow("not SQLite") << "foreign" << QStringLiteral("数据库文件无法识别");
        QTest::newRow("read-only") << "readonly" << QStringLiteral("数据库文件是只读的");
        QTest::newRow("read-only, log left by a crash") << "readonly-crash" << QStringLiteral("数据库文件是只读的");
    }

    void startupOnUnusableFile()
    {
        QFETCH(QString, damage);
        QFETCH(QString, reason);
        if (damage.startsWith(QLatin1String("readonly")) && !inOpenFolder) {
            runRowInOpenFolder();
            return;
        }
        Database &db = Database::instance();
        const QByteArray key = "K7PQ2MZX9ABC";
        const QJsonObject config = testutil::quietConfig(QString::fromLatin1(key));
        const quint16 windowPort = quint16(config.value("syncPort").toInt());
        QVERIFY(testutil::resetProgramFolder(config));
        const QString path = databasePath();
        QString error;
        QVERIFY2(db.open(path, &error), qPrintable(error));
        QJsonArray items;
        for (int i = 0; i < 400; ++i)
            items.append(
                QJsonObject{{"id", QStringLiteral("item-%1").arg(i)}, {"name", QStringLiteral("螺丝 M%1").arg(i)}});
        QCOMPARE(db.merge(QJsonObject{{"items", items}}).perTable.value("items").toInt(), 400);
        // What a program killed now would leave: the file with its log still beside it.
        const QStringList withLog{path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")};
        if (damage == QLatin1String("readonly-crash")) {
            for (const QString &name : withLog)
                QVERIFY(QFile::copy(name, name + QStringLiteral(".crash")));
        }
        db.close();
        if (damage == QLatin1String("readonly-crash")) {
            for (const QString &name : withLog) {
                QFile::remove(name);
                QVERIFY(QFile::rename(name + QStringLiteral(".crash"), name));
            }
            QVERIFY(QFileInfo(path + QStringLiteral("-wal")).size() > 0);
        }

        QFile file(path);
        if (damage == QLatin1String("truncated")) {
            QVERIFY(file.resize(file.size() / 2));
        } else if (damage == QLatin1String("page")) {
            int pageSize = 0;
            QList<qint64> pages;
            {
                testutil::SideConnection reader(path);
                QSqlQuery query(reader.database());
                QVERIFY(query.exec(QStringLiteral("PRAGMA page_size")) && query.next());
                pageSize = query.value(0).toInt();
                QVERIFY2(query.exec(QStringLiteral("SELECT pageno FROM dbstat WHERE name = 'items'")),
                         qPrintable(query.lastError().text()));
                while (query.next())
                    pages << query.value(0).toLongLong();
            }
            QVERIFY(pages.size() > 2);
            QRandomGenerator random(20261210);
            const qint64 page = pages.at(random.bounded(int(pages.size())));
            QByteArray noise(pageSize, '\0');
            for (char &byte : noise)
                byte = char(random.generate());
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.seek((page - 1) * pageSize));
            QCOMPARE(file.write(noise), qint64(pageSize));
            file.close();
        } else if (damage == QLatin1String("foreign")) {
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(QByteArray("库存清单，第一页。").repeated(500));
            file.close();
        }
        std::optional<testutil::ReadOnlyData> readOnly;
        if (damage.startsWith(QLatin1String("readonly"))) {
            readOnly.emplace(path);
            if (!readOnly->holds())
                QSKIP("read-only files are written to anyway here (Wine run as root)");
        }

        QString title;
        QString text;
        testutil::answerNextBox(QMessageBox::Ok, &text, &title);
        MainWindow window;
        QVERIFY(testutil::settle(window));
        const QString unusable = db.unusableReason();
        QCOMPARE(title, QStringLiteral("数据库打开失败"));
        QVERIFY2(text.startsWith(reason), qPrintable(text));
        QVERIFY(!unusable.isEmpty());
        QVERIFY2(text.startsWith(unusable), qPrintable(unusable));
        const testutil::WindowParts t(window);
        QVERIFY2(t.statusCard->text().contains(QStringLiteral("数据库不可用")), qPrintable(t.statusCard->text()));
        QCOMPARE(t.statusCard->toolTip(), unusable);

        QCOMPARE(testutil::exchange(windowPort, testutil::requestBytes("GET", "/ping")).status, 200);
        const QByteArray push = R"({"app":"plindor","protocol":1,"items":[{"id":"p-item-1","name":"螺丝 M3"}]})";
        for (const QByteArray &request :
             {testutil::requestBytes("GET", "/info", {}, key), testutil::requestBytes("GET", "/export", {}, key),
              testutil::requestBytes("POST", "/import", push, key)}) {
            const testutil::Reply reply = testutil::exchange(windowPort, request);
            testutil::verifyFraming(reply);
            QCOMPARE(reply.status, 503);
            QCOMPARE(reply.json(), (QJsonObject{{"ok", false}, {"error", unusable}}));
        }
        const QString todaysBackup =
            QStringLiteral("备份/plindor-%1.db").arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
        QVERIFY(!QFileInfo::exists(QFileInfo(path).dir().filePath(todaysBackup)));
    }

    // Without a display the program prints what a phone needs and its log, and SIGTERM closes it
    // as closing the window would: the service stops and the database is closed cleanly.
    void headlessRunPrintsAndClosesOnSigterm_data()
    {
        QTest::addColumn<QByteArray>("databaseBytes");
        // The window on the offscreen platform, or the core alone, with no display at all.
        QTest::addColumn<bool>("headless");
        // A margin that no disk leaves: the daily backup is refused and the disk warning printed.
        QTest::addColumn<bool>("diskFull");
        for (const bool headless : {false, true}) {
            const char *mode = headless ? "--headless" : "offscreen window";
            QTest::addRow("%s, fresh folder", mode) << QByteArray() << headless << false;
            // The start-up box must not hold the program: nobody can close it.
            QTest::addRow("%s, not a database", mode) << QByteArray("货架清单\n").repeated(500) << headless << false;
        }
        QTest::addRow("--headless, disk too full") << QByteArray() << true << true;
    }

    void headlessRunPrintsAndClosesOnSigterm()
    {
#ifdef Q_OS_WIN
        QSKIP("signals are Unix");
#else
        QFETCH(QByteArray, databaseBytes);
        QFETCH(bool, headless);
        QFETCH(bool, diskFull);
        QTemporaryDir temporary;
        // A shop's folder: Chinese characters and a space in its path.
        const QDir folder(temporary.filePath(QStringLiteral("电脑 主库")));
        QVERIFY(folder.mkpath(QStringLiteral(".")));
        const quint16 port = testutil::freePort();
        const QString program =
            testutil::deployProgram(QStringLiteral(TOVANIK_EXECUTABLE), folder.path(),
                                    {{"syncPort", port}, {"publicHost", "203.0.113.9"}, {"syncKey", "HEADLESS1"}});
        QVERIFY(!program.isEmpty());
        const QString database = folder.filePath(QStringLiteral("data/plindor.db"));
        if (!databaseBytes.isEmpty()) {
            QVERIFY(QDir().mkpath(QFileInfo(database).absolutePath()));
            QFile file(database);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(databaseBytes);
        }
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (headless) {
            // A QApplication could not start here: no platform, no display.
            for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
                environment.remove(QString::fromLatin1(name));
        } else {
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        }
        if (diskFull)
            environment.insert(QStringLiteral("TOVANIK_DISK_MARGIN"), QStringLiteral("1000000000000000000"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder.path());
        process.start(program, headless ? QStringList{QStringLiteral("--headless")} : QStringList());
        QVERIFY(process.waitForStarted());

        QString output;
        QVERIFY2(readUntil(process, output, QStringLiteral("[同步服务] 已启动，端口 %1").arg(port)),
                 qPrintable(output));
        QVERIFY2(readUntil(process, output, QStringLiteral("手机连接：")), qPrintable(output));
        QVERIFY2(output.contains(QStringLiteral("端口 %1，同步密钥 HEADLESS1").arg(port)), qPrintable(output));
        QVERIFY2(output.contains(QStringLiteral("外网地址 203.0.113.9")), qPrintable(output));
        // The database is opened and backed up after the service has started; what the store takes is
        // printed then, and the warning with it once the disk is too full.
        if (diskFull)
            QVERIFY2(readUntil(process, output, QStringLiteral("自动备份数据库失败: 磁盘空间不足：需要约 ")),
                     qPrintable(output));
        else if (databaseBytes.isEmpty())
            QVERIFY2(readUntil(process, output, QStringLiteral("已自动备份数据库到: ")), qPrintable(output));
        else
            QVERIFY2(readUntil(process, output, QStringLiteral("【数据库打开失败】")), qPrintable(output));
        QVERIFY2(readUntil(process, output, QStringLiteral("存储空间：数据库 ")), qPrintable(output));
        QCOMPARE(output.contains(QStringLiteral("只够再保存约 0 次改动")), diskFull);

        // The service answers phones while nobody sees the window; without a usable database it says why.
        const testutil::Reply ping = testutil::exchange(port, testutil::requestBytes("GET", "/ping", {}, "HEADLESS1"));
        QVERIFY2(ping.status == 200, ping.raw.constData());
        const testutil::Reply info = testutil::exchange(port, testutil::requestBytes("GET", "/info", {}, "HEADLESS1"));
        QVERIFY2(info.status == (databaseBytes.isEmpty() ? 200 : 503), info.raw.constData());

        process.terminate();
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(QFile::exists(database));
        QCOMPARE(settings::read(folder.filePath(QStringLiteral("config.json"))).value("syncKey").toString(),
                 QStringLiteral("HEADLESS1"));
        if (databaseBytes.isEmpty() && !diskFull)
            QCOMPARE(QDir(folder.filePath(QStringLiteral("data/备份"))).entryList(QDir::Files).size(), 1);
        // The last connection to close checkpoints the write-ahead log into the file and removes it.
        QVERIFY(!QFile::exists(database + QStringLiteral("-wal")));
        QVERIFY(!testutil::acceptsConnection(port));
#endif
    }

    // After a crash the program's folder turns read-only (a disk remounted after errors), so the lock the
    // killed program left can no longer be removed. A copy started while another still runs is refused; once
    // none runs, the program starts as on any read-only database.
    void staleLockInReadOnlyFolder_data()
    {
        QTest::addColumn<bool>("remount");
        QTest::newRow("folder made read-only") << false;
        QTest::newRow("disk remounted read-only") << true;
    }

    void staleLockInReadOnlyFolder()
    {
#ifndef Q_OS_LINUX
        QSKIP("read-only folders are made here with Linux calls");
#else
        QFETCH(bool, remount);
        const bool root = geteuid() == 0;
        if (remount && !root)
            QSKIP("a read-only mount needs root");
        testutil::OpenFolder folder;
        QVERIFY2(folder.closedOnTheWay().isEmpty(), qPrintable(folder.closedOnTheWay()));
        const quint16 port = testutil::freePort();
        const QString program =
            testutil::deployProgram(QStringLiteral(TOVANIK_EXECUTABLE), folder.path(),
                                    {{"syncPort", port}, {"publicHost", "203.0.113.9"}, {"syncKey", "STALE123"}});
        QVERIFY(!program.isEmpty());
        // Root passes file permissions: the programs then run as "nobody", who owns the folder.
        const bool asNobody = root && !remount;
        if (asNobody) {
            for (const QString &file : {folder.path(), program, folder.filePath(QStringLiteral("config.json"))})
                QCOMPARE(::chown(QFile::encodeName(file).constData(), 65534, 65534), 0);
        }
        const auto start = [&](QProcess &process) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            process.setProcessEnvironment(environment);
            process.setWorkingDirectory(folder.path());
            if (asNobody) {
                process.setChildProcessModifier([] {
                    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                        ::_exit(126);
                });
            }
            process.start(program, {});
            return process.waitForStarted();
        };
        const QString started = QStringLiteral("[同步服务] 已启动，端口 %1").arg(port);

        QProcess first;
        QString firstOutput;
        QVERIFY(start(first));
        QVERIFY2(readUntil(first, firstOutput, QStringLiteral("已自动备份数据库到: ")), qPrintable(firstOutput));

        ReadOnlyProgramFolder readOnly(folder.path(), remount);
        if (!readOnly.holds())
            QSKIP("no read-only bind mount here");

        // Still running: a second copy is refused and says which process holds the folder.
        QProcess second;
        QVERIFY(start(second));
        QVERIFY(second.waitForFinished(20000));
        const QString secondOutput = QString::fromUtf8(second.readAllStandardOutput());
        QCOMPARE(second.exitCode(), 1);
        QVERIFY2(secondOutput.contains(QStringLiteral("【程序已在运行】")), qPrintable(secondOutput));
        QVERIFY2(secondOutput.contains(QStringLiteral("进程号 %1").arg(first.processId())), qPrintable(secondOutput));

        first.kill();
        QVERIFY(first.waitForFinished(20000));
        const QString database = QDir::toNativeSeparators(folder.filePath(QStringLiteral("data/plindor.db")));
        QVERIFY(QFile::exists(database + QStringLiteral("-wal")));
        QVERIFY(QFile::exists(folder.filePath(QStringLiteral("data/plindor.lock"))));

        // Killed: the lock it left stays, and the next start serves phones as on a read-only database.
        QProcess third;
        QString output;
        QVERIFY(start(third));
        QVERIFY2(readUntil(third, output, started), qPrintable(output));
        QVERIFY2(readUntil(third, output, QStringLiteral("【数据库打开失败】数据库文件是只读的")), qPrintable(output));
        QVERIFY2(output.contains(database), qPrintable(output));
        QVERIFY2(!output.contains(QStringLiteral("程序已在运行")), qPrintable(output));
        QCOMPARE(testutil::exchange(port, testutil::requestBytes("GET", "/ping")).status, 200);
        const testutil::Reply info = testutil::exchange(port, testutil::requestBytes("GET", "/info", {}, "STALE123"));
        QVERIFY2(info.status == 503, info.raw.constData());
        QVERIFY2(info.json().value("error").toString().contains(QStringLiteral("只读")), info.raw.constData());
        third.terminate();
        QVERIFY(third.waitForFinished(20000));
        QCOMPARE(third.exitCode(), 0);
#endif
    }

private:
    // Runs the current row again in a copy of this test program in a folder that every user can enter,
    // so that the program folder beside the copy lies where the identity ReadOnlyData takes can reach it.
    void runRowInOpenFolder()
    {
        testutil::OpenFolder folder;
        QVERIFY2(folder.closedOnTheWay().isEmpty(), qPrintable(folder.closedOnTheWay()));
        const QString copy = folder.filePath(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), copy));
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(copy, {QStringLiteral("--in-open-folder"),
                             QStringLiteral("%1:%2").arg(QLatin1String(QTest::currentTestFunction()),
                                                         QString::fromUtf8(QTest::currentDataTag()))});
        QVERIFY(process.waitForFinished(300000));
        const QByteArray output = process.readAll();
        QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, output.constData());
        const QByteArray row = "AppTest::" + QByteArray(QTest::currentTestFunction()) + '(';
        if (output.contains("SKIP   : " + row)) {
            const QByteArray line = output.mid(output.indexOf("SKIP   : " + row)).split('\n').first().trimmed();
            QSKIP(line.mid(line.indexOf(") ") + 2).constData());
        }
        QVERIFY2(output.contains("PASS   : " + row), output.constData());
    }
};

static int runTests(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Started again by oneProgramPerFolder as the first program, which holds the lock until it is killed.
    if (app.arguments().value(1) == QLatin1String("--hold-lock")) {
        InstanceLock lock(lockFilePath());
        if (!lock.tryLock())
            return 1;
        std::puts("locked");
        std::fflush(stdout);
        return app.exec();
    }
    app.setAttribute(Qt::AA_Use96Dpi, true);
    AppTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    QStringList arguments = app.arguments();
    inOpenFolder = arguments.value(1) == QLatin1String("--in-open-folder");
    if (inOpenFolder)
        arguments.removeAt(1);
    return QTest::qExec(&test, arguments);
}

int main(int argc, char *argv[])
{
    return endProcess(runTests(argc, argv));
}
#include "tst_app.moc"
