#include "ui/mainwindow.h"

void MainWindow::onDeleteRow() {}
