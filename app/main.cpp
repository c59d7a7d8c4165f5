#include "app/instancelock.h"
#include "app/paths.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QFont>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tovanik"));
    QCoreApplication::setOrganizationName(QStringLiteral("plindor"));
    QApplication::setFont(QFont(QStringLiteral("Microsoft YaHei UI"), 9));

    InstanceLock lock(lockFilePath());
    if (!lock.claim())
        return 1;

    MainWindow window;
    window.show();
    return app.exec();
}
