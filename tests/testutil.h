#pragma once

#include "app/paths.h"
#include "app/programcore.h"
#include "storage/database.h"
#include "storage/rowtable.h"
#include "storage/storagethread.h"
#include "sync/publicaddresslookup.h"
#include "sync/syncserver.h"
#include "testnet.h"
#include "ui/datapage.h"
#include "ui/datatablemodel.h"
#include "ui/historypage.h"
#include "ui/mainwindow.h"
#include "ui/phonepage.h"
#include "ui/settingspage.h"
#include "ui/synclogpage.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTableView>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

// The program's folder, its window and the boxes and dialogs it asks the operator.
namespace testutil {

// The program keeps its files beside the executable: empties that folder of data/ and config.json
// (a folder a test made in its place included).
inline void clearProgramFolder()
{
    QDir(QFileInfo(databasePath()).absolutePath()).removeRecursively();
    if (QFileInfo(configPath()).isDir())
        QDir(configPath()).removeRecursively();
    else
        QFile::remove(configPath());
}

// Settings on a free port with the public address given, so that no detection starts and nothing
// leaves the machine.
inline QJsonObject quietConfig(const QString &key = QStringLiteral("TESTKEY"))
{
    return {{"syncPort", freePort()}, {"publicHost", "203.0.113.9"}, {"syncKey", key}, {"deviceName", "电脑主库"}};
}

// An empty program folder with this config.json.
inline bool resetProgramFolder(const QJsonObject &config)
{
    clearProgramFolder();
    QFile file(configPath());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(QJsonDocument(config).toJson()) > 0;
}

inline bool settle(MainWindow &window, int timeoutMs = 60000);

// The program's window over an empty program folder with quiet settings, shown; the test stops when it
// does not come up with its database open.
inline void openWindow(std::unique_ptr<MainWindow> *window)
{
    QVERIFY(resetProgramFolder(quietConfig()));
    *window = std::make_unique<MainWindow>();
    (*window)->show();
    QVERIFY(QTest::qWaitForWindowExposed(window->get()));
    QVERIFY(settle(**window));
    QVERIFY(Database::instance().isOpen());
}

// Drops the answers a failed case left waiting, so that they cannot answer the next case's boxes.
inline void dropPendingAnswers()
{
    qDeleteAll(qApp->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly));
}

// Runs fill on the next modal dialog that is not a message box, once it is up.
inline void answerNextDialog(std::function<void(QDialog *)> fill)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, qApp, [timer, fill] {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog || qobject_cast<QMessageBox *>(dialog))
            return;
        timer->stop();
        timer->deleteLater();
        fill(dialog);
    });
    timer->start();
}

struct SeenBox
{
    QString title;
    QString text;
};

// Answers the next modal boxes in turn, one button each (a button the box lacks rejects it), and tells
// seen what each said. Stops by itself once every answer is given.
inline void answerBoxes(const QList<QMessageBox::StandardButton> &answers, std::function<void(const SeenBox &)> seen)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    auto remaining = std::make_shared<QList<QMessageBox::StandardButton>>(answers);
    QObject::connect(timer, &QTimer::timeout, qApp, [timer, remaining, seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->property("answered").toBool())
            return;
        box->setProperty("answered", true);
        if (seen)
            seen({box->windowTitle(), box->text()});
        const QMessageBox::StandardButton button = remaining->takeFirst();
        if (remaining->isEmpty()) {
            timer->stop();
            timer->deleteLater();
        }
        if (QAbstractButton *b = box->button(button))
            b->click();
        else
            box->reject();
    });
    timer->start();
}

inline void answerBoxes(const QList<QMessageBox::StandardButton> &answers, QList<SeenBox> *seen)
{
    answerBoxes(answers, [seen](const SeenBox &box) { seen->append(box); });
}

// Answers the next modal box with this button; its text and title go to *seenText and *seenTitle when given.
inline void answerNextBox(QMessageBox::StandardButton button, QString *seenText = nullptr, QString *seenTitle = nullptr)
{
    answerBoxes({button}, [seenText, seenTitle](const SeenBox &box) {
        if (seenText)
            *seenText = box.text;
        if (seenTitle)
            *seenTitle = box.title;
    });
}

// The first button under root with this text.
inline QPushButton *findButton(QWidget *root, const QString &text)
{
    const auto buttons = root->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

// The last column stretches to the table's right edge, also after a refresh has fitted the others to their contents.
inline bool lastColumnFillsTheTable(QTableView *table)
{
    return table->horizontalHeader()->length() == table->viewport()->width();
}

// What a table shows, read through its model: the same for a view over a model and an item table.
inline int rowCount(const QTableView *table)
{
    return table->model()->rowCount();
}

inline int columnOf(const QTableView *table, const QString &header)
{
    const QAbstractItemModel *model = table->model();
    for (int c = 0; c < model->columnCount(); ++c) {
        if (model->headerData(c, Qt::Horizontal).toString() == header)
            return c;
    }
    return -1;
}

inline QVariant cellData(const QTableView *table, int row, int column, int role = Qt::DisplayRole)
{
    return table->model()->index(row, column).data(role);
}

inline QString cell(const QTableView *table, int row, int column)
{
    return cellData(table, row, column).toString();
}

// The texts of one column, top to bottom.
inline QStringList columnTexts(const QTableView *table, const QString &header)
{
    QStringList texts;
    const int column = columnOf(table, header);
    for (int row = 0; row < rowCount(table); ++row)
        texts << cell(table, row, column);
    return texts;
}

// Makes a row current, and so selected, as a click on it would.
inline void selectRow(QTableView *table, int row, int column = 0)
{
    table->setCurrentIndex(table->model()->index(row, column));
}

inline QRect cellRect(const QTableView *table, int row, int column)
{
    return table->visualRect(table->model()->index(row, column));
}

// Lets the database's opening and every write asked so far end, their results reach the window, and the
// data page read what they changed.
inline bool settle(MainWindow &window, int timeoutMs)
{
    const ProgramCore &core = window.programCore();
    const DataPage *page = window.findChild<DataPage *>();
    QDeadlineTimer deadline(timeoutMs);
    while (!core.isDatabaseReady() || !core.storage()->isIdle() || page->isReading() || window.isCounting()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// The window's parts as tests reach them: each page by its class, the frame's widgets and timer by
// their object names, the sync service and the public address lookup as children of the window. The
// window's start is over once they are.
struct WindowParts
{
    explicit WindowParts(MainWindow &window)
        : window(window)
        , dataPage(window.findChild<DataPage *>())
        , phonePage(window.findChild<PhonePage *>())
        , historyPage(window.findChild<HistoryPage *>())
        , settingsPage(window.findChild<SettingsPage *>())
        , syncLogPage(window.findChild<SyncLogPage *>())
        , nav(window.findChild<QListWidget *>(QStringLiteral("nav")))
        , stack(window.centralWidget()->findChild<QStackedWidget *>(QString(), Qt::FindDirectChildrenOnly))
        , statusCard(window.findChild<QLabel *>(QStringLiteral("statusCard")))
        , refreshTimer(window.findChild<QTimer *>(QStringLiteral("refreshTimer")))
        , server(window.findChild<SyncServer *>())
        , publicAddress(window.findChild<PublicAddressLookup *>())
    {
        testutil::settle(window);
    }

    bool settle() const { return testutil::settle(window); }

    // Clicks the page's navigation entry, as the operator does.
    void show(MainWindow::Page page) const { nav->setCurrentRow(int(page)); }

    MainWindow &window;
    DataPage *const dataPage;
    PhonePage *const phonePage;
    HistoryPage *const historyPage;
    SettingsPage *const settingsPage;
    SyncLogPage *const syncLogPage;
    QListWidget *const nav;
    QStackedWidget *const stack;
    QLabel *const statusCard;
    QTimer *const refreshTimer;
    SyncServer *const server;
    PublicAddressLookup *const publicAddress;
};

} // namespace testutil
