#include "app/instancelock.h"
#include "app/paths.h"
#include "storage/database.h"
#include "testutil.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
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
