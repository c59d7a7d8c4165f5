#include "ui/mainwindow.h"

#include <QNetworkReply>

void MainWindow::setPublicIpServices(const QList<QUrl> &urls)
{
    publicIpServices = urls;
}

void MainWindow::fetchPublicIP() {}

void MainWindow::tryPublicIpService(int) {}

void MainWindow::onPublicIpReply(QNetworkReply *, int, const QUrl &) {}
