#include "app/instancelock.h"
#include "app/paths.h"
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
#include <QProcess>
#include <QRegularExpression>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <optional>

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
        QCOMPARE(saved, (QJsonObject{{"theme", "dark"}, {"syncKey", "WXYZ"}, {"deviceName", "电脑主库"},
                                     {"syncPort", 8080}, {"publicHost", ""}}));
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
            items.append(QJsonObject{{"id", QStringLiteral("item-%1").arg(i)}, {"name", QStringLiteral("螺丝 M%1").arg(i)}});
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
        if (damage.startsWith(QLatin1String("readonly")))
            readOnly.emplace(path);

        QString title;
        QString text;
        testutil::answerNextBox(QMessageBox::Ok, &text, &title);
        MainWindow window;
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
        const QString todaysBackup = QStringLiteral("备份/plindor-%1.db").arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
        QVERIFY(!QFileInfo::exists(QFileInfo(path).dir().filePath(todaysBackup)));
    }

    // Without a display the program prints what a phone needs and its log, and SIGTERM closes it
    // as closing the window would: the service stops and the database is closed cleanly.
    void headlessRunPrintsAndClosesOnSigterm_data()
    {
        QTest::addColumn<QByteArray>("databaseBytes");
        QTest::newRow("fresh folder") << QByteArray();
        // The start-up box must not hold the program: nobody can close it.
        QTest::newRow("not a database") << QByteArray("货架清单\n").repeated(500);
    }

    void headlessRunPrintsAndClosesOnSigterm()
    {
#ifdef Q_OS_WIN
        QSKIP("signals are Unix");
#else
        QFETCH(QByteArray, databaseBytes);
        QTemporaryDir folder;
        const QString program = folder.filePath(QStringLiteral("tovanik"));
        QVERIFY(QFile::copy(QStringLiteral(TOVANIK_EXECUTABLE), program));
        const quint16 port = testutil::freePort();
        {
            QFile config(folder.filePath(QStringLiteral("config.json")));
            QVERIFY(config.open(QIODevice::WriteOnly));
            config.write(QJsonDocument(QJsonObject{{"syncPort", port}, {"publicHost", "203.0.113.9"},
                                                   {"syncKey", "HEADLESS1"}})
                             .toJson());
        }
        const QString database = folder.filePath(QStringLiteral("data/plindor.db"));
        if (!databaseBytes.isEmpty()) {
            QVERIFY(QDir().mkpath(QFileInfo(database).absolutePath()));
            QFile file(database);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(databaseBytes);
        }
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder.path());
        process.start(program, {});
        QVERIFY(process.waitForStarted());

        QString output;
        const auto readUntil = [&](const QString &wanted) {
            QElapsedTimer clock;
            clock.start();
            while (!output.contains(wanted) && clock.elapsed() < 20000) {
                process.waitForReadyRead(200);
                output += QString::fromUtf8(process.readAllStandardOutput());
            }
            return output.contains(wanted);
        };
        QVERIFY2(readUntil(QStringLiteral("[同步服务] 已启动，端口 %1").arg(port)), qPrintable(output));
        QVERIFY2(output.contains(QStringLiteral("端口 %1，同步密钥 HEADLESS1").arg(port)), qPrintable(output));
        QVERIFY2(output.contains(QStringLiteral("外网地址 203.0.113.9")), qPrintable(output));
        if (databaseBytes.isEmpty())
            QVERIFY2(output.contains(QStringLiteral("已自动备份数据库到: ")), qPrintable(output));
        else
            QVERIFY2(output.contains(QStringLiteral("【数据库打开失败】")), qPrintable(output));

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
        // The last connection to close checkpoints the write-ahead log into the file and removes it.
        QVERIFY(!QFile::exists(database + QStringLiteral("-wal")));
        QVERIFY(!testutil::acceptsConnection(port));
#endif
    }
};

int main(int argc, char *argv[])
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
    return QTest::qExec(&test, argc, argv);
}
#include "tst_app.moc"
