#include "ui/mainwindow.h"

#include <QApplication>
#include <QFont>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tovanik"));
    QCoreApplication::setOrganizationName(QStringLiteral("plindor"));
    QApplication::setFont(QFont(QStringLiteral("Microsoft YaHei UI"), 9));

    MainWindow window;
    window.show();
    return app.exec();
}
