#include "app/instancelock.h"
#include "app/paths.h"
#include "storage/database.h"
#include "testutil.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

class AppTest : public QObject
{
    Q_OBJECT

private:
    void resetProgramFolder()
    {
        QVERIFY(testutil::resetProgramFolder({{"syncPort", testutil::freePort()},
                                              {"publicHost", "203.0.113.9"},
                                              {"syncKey", "TESTKEY"},
                                              {"deviceName", "电脑主库"}}));
    }

private Q_SLOTS:
    void pathsLieBesideTheExecutable()
    {
        const QString dir = QCoreApplication::applicationDirPath();
        QCOMPARE(databasePath(), QDir(dir).filePath(QStringLiteral("data/plindor.db")));
        QCOMPARE(configPath(), QDir(dir).filePath(QStringLiteral("config.json")));
        QVERIFY(QFileInfo(databasePath()).isAbsolute());
    }

    void freshFolderCreatesTheDatabase()
    {
        resetProgramFolder();
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
        resetProgramFolder();
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
        resetProgramFolder();
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
        const auto answerTo = [port](const QByteArray &target) {
            QTcpSocket phone;
            phone.connectToHost(QHostAddress::LocalHost, port);
            if (!phone.waitForConnected(5000))
                return QByteArray();
            phone.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Sync-Key: HEADLESS1\r\n\r\n");
            QByteArray answer;
            while (phone.waitForReadyRead(5000))
                answer += phone.readAll();
            return answer;
        };
        QVERIFY(answerTo("/ping").startsWith("HTTP/1.1 200"));
        QVERIFY(answerTo("/info").startsWith(databaseBytes.isEmpty() ? "HTTP/1.1 200" : "HTTP/1.1 503"));

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
