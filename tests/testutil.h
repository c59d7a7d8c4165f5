#pragma once

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTimer>
#include <QWidget>

namespace testutil {

// A port that is free right now on 127.0.0.1.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Answers the next modal box: presses its button with the given role (or text) once the box is up.
// The clicked box's text is stored in *seenText when given.
inline void answerNextBox(QMessageBox::StandardButton button, QString *seenText = nullptr, QString *seenTitle = nullptr)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, qApp, [timer, button, seenText, seenTitle] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer->stop();
        timer->deleteLater();
        if (seenText)
            *seenText = box->text();
        if (seenTitle)
            *seenTitle = box->windowTitle();
        if (QAbstractButton *b = box->button(button))
            b->click();
        else
            box->reject();
    });
    timer->start();
}

} // namespace testutil
