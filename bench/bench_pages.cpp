// Times what the window does on the history and sync-log pages with a full history: showing 200
// versions, showing the newest 100 sync-log rows (also the work of every timer tick and phone request),
// and the refresh of all pages that follows a rollback. Runs the real window on the offscreen platform,
// in the program folder beside this executable.
// Usage: bench_pages [items, default 2000]

#include "datagen.h"

#include "app/paths.h"
#include "storage/database.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QListWidget>
#include <QTcpServer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

// Median wall time of a few runs, in ms.
double medianMs(int runs, const std::function<void()> &work)
{
    QList<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        QCoreApplication::processEvents();
        times << timer.nsecsElapsed() / 1e6;
    }
    std::sort(times.begin(), times.end());
    return times.at(times.size() / 2);
}

void writeConfig()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    QFile file(configPath());
    if (file.open(QIODevice::WriteOnly))
        file.write(
            QJsonDocument(QJsonObject{{"syncPort", probe.serverPort()}, {"publicHost", "203.0.113.9"}}).toJson());
}

void run(int items)
{
    MainWindow window;
    window.show();
    auto *nav = window.findChild<QListWidget *>(QStringLiteral("nav"));
    const auto show = [nav](MainWindow::Page page) { nav->setCurrentRow(int(page)); };
    Database &db = Database::instance();
    db.merge(datagen::snapshotDocument(items));

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 200; ++i)
        db.saveVersion(QStringLiteral("界面手动存档"), QStringLiteral("qt-ui"));
    const double saveMs = timer.nsecsElapsed() / 1e6 / 200;
    for (int i = 0; i < 150; ++i)
        db.logSync(QStringLiteral("192.168.1.20"), QStringLiteral("推送"),
                   QStringLiteral("物品 3 新增/更新 / 流水 6 新增"));

    const double historyMs = medianMs(7, [&show] {
        show(MainWindow::Page::Data);
        show(MainWindow::Page::History);
    });
    const double syncLogMs = medianMs(7, [&show] {
        show(MainWindow::Page::Data);
        show(MainWindow::Page::SyncLog);
    });
    const double refreshAllMs = medianMs(5, [&window] { QMetaObject::invokeMethod(&window, "refreshAll"); });

    std::printf("items %d, 200 versions, 150 sync-log rows; database file %.1f MB\n", items,
                QFileInfo(databasePath()).size() / 1048576.0);
    std::printf("saveVersion            %8.2f ms each\n", saveMs);
    std::printf("show history (200)     %8.2f ms\n", historyMs);
    std::printf("show sync log (100)    %8.2f ms\n", syncLogMs);
    std::printf("refreshAll             %8.2f ms\n", refreshAllMs);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QDir(QFileInfo(databasePath()).absolutePath()).removeRecursively();
    writeConfig();
    run(argc > 1 ? QByteArray(argv[1]).toInt() : 2000);
    // A full history is hundreds of MB: leave no such folder behind.
    QDir(QFileInfo(databasePath()).absolutePath()).removeRecursively();
    QFile::remove(configPath());
    return 0;
}
