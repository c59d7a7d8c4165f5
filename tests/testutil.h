#pragma once

#include "app/paths.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QVariant>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QTableWidget>

namespace testutil {

// A port that is free right now on 127.0.0.1.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The program keeps its files beside the executable: empties that folder of data/ and writes config.json.
inline bool resetProgramFolder(const QJsonObject &config)
{
    QDir(QFileInfo(databasePath()).absolutePath()).removeRecursively();
    QFile file(configPath());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(QJsonDocument(config).toJson()) > 0;
}

// Whether something accepts a TCP connection on 127.0.0.1 at this port.
inline bool acceptsConnection(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(2000);
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

struct SeenBox
{
    QString title;
    QString text;
};

// Answers the next modal boxes in turn, one button each, and records what they said.
// Stops by itself once every answer is given.
inline void answerBoxes(const QList<QMessageBox::StandardButton> &answers, QList<SeenBox> *seen)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(10);
    auto remaining = std::make_shared<QList<QMessageBox::StandardButton>>(answers);
    QObject::connect(timer, &QTimer::timeout, qApp, [timer, remaining, seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->property("answered").toBool())
            return;
        box->setProperty("answered", true);
        seen->append({box->windowTitle(), box->text()});
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

// A real storage fault on the program's connection to the database file at path, until lift():
// "full" caps the file at the pages it has, "read-only" reopens it read-only, and "locked" has a second
// connection hold the write lock (the program waits only 50 ms for it instead of seconds).
class StorageFault
{
public:
    StorageFault(const QString &kind, const QString &path)
        : kind(kind)
    {
        QSqlDatabase program = QSqlDatabase::database(QStringLiteral("plindor"), false);
        if (kind == QLatin1String("full")) {
            QSqlQuery query(program);
            if (query.exec(QStringLiteral("PRAGMA page_count")) && query.next())
                query.exec(QStringLiteral("PRAGMA max_page_count = %1").arg(query.value(0).toLongLong()));
        } else if (kind == QLatin1String("read-only")) {
            program.close();
            program.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            program.open();
        } else if (kind == QLatin1String("locked")) {
            QSqlQuery(program).exec(QStringLiteral("PRAGMA busy_timeout = 50"));
            QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
            holder.setDatabaseName(path);
            holder.open();
            QSqlQuery(holder).exec(QStringLiteral("BEGIN IMMEDIATE"));
        }
    }

    ~StorageFault() { lift(); }

    void lift()
    {
        if (lifted)
            return;
        lifted = true;
        QSqlDatabase program = QSqlDatabase::database(QStringLiteral("plindor"), false);
        if (kind == QLatin1String("full")) {
            QSqlQuery(program).exec(QStringLiteral("PRAGMA max_page_count = 2147483646"));
        } else if (kind == QLatin1String("read-only")) {
            program.close();
            program.setConnectOptions(QString());
            program.open();
        } else if (kind == QLatin1String("locked")) {
            QSqlDatabase::database(QStringLiteral("holder"), false).close();
            QSqlDatabase::removeDatabase(QStringLiteral("holder"));
        }
    }

private:
    QString kind;
    bool lifted = false;
};

// The last column stretches to the table's right edge, also after a refresh has fitted the others to their contents.
inline bool lastColumnFillsTheTable(QTableWidget *table)
{
    return table->horizontalHeader()->length() == table->viewport()->width();
}

// A connection of its own on a file: it sees only what has been committed.
inline QVariant valueFromFile(const QString &path, const QString &sql)
{
    QVariant result(QStringLiteral("<no row>"));
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
        other.setDatabaseName(path);
        other.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (other.open()) {
            QSqlQuery query(other);
            if (query.exec(sql) && query.next())
                result = query.value(0);
            else
                result = QVariant(QStringLiteral("<failed: %1>").arg(query.lastError().text()));
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
    return result;
}

// A copy of a database file whose first page, the schema, is intact and whose other pages are overwritten.
inline bool damageCopy(const QString &from, const QString &to)
{
    QFile::remove(to);
    QFile file(to);
    if (!QFile::copy(from, to) || !file.open(QIODevice::ReadWrite) || file.size() < 3 * 4096)
        return false;
    file.seek(4096);
    return file.write(QByteArray(int(file.size() - 4096), 'Z')) == file.size() - 4096;
}

} // namespace testutil

#include "ui/mainwindow.h"

// Reaches the window's members for tests; the window declares this class its friend.
class MainWindowTest
{
public:
    explicit MainWindowTest(MainWindow &window) : w(window) {}

    QStackedWidget *stack() const { return w.stack; }
    QListWidget *nav() const { return w.nav; }
    QComboBox *tableCombo() const { return w.tableCombo; }
    QLineEdit *searchEdit() const { return w.searchEdit; }
    QTableWidget *dataTable() const { return w.dataTable; }
    QLabel *countLabel() const { return w.countLabel; }
    const QJsonArray &currentRows() const { return w.currentRows; }
    QSet<QString> &expandedIds() const { return w.expandedIds; }
    QLabel *lanQrLabel() const { return w.lanQrLabel; }
    QLabel *wanQrLabel() const { return w.wanQrLabel; }
    QLabel *lanAddressLabel() const { return w.lanAddressLabel; }
    QLabel *wanAddressLabel() const { return w.wanAddressLabel; }
    QLabel *phoneHintLabel() const { return w.phoneHintLabel; }
    QLabel *serviceStoppedLabel() const { return w.serviceStoppedLabel; }
    QTableWidget *versionsTable() const { return w.versionsTable; }
    QLineEdit *keyEdit() const { return w.keyEdit; }
    QLineEdit *nameEdit() const { return w.nameEdit; }
    QLineEdit *publicHostEdit() const { return w.publicHostEdit; }
    QLineEdit *portEdit() const { return w.portEdit; }
    QPushButton *toggleButton() const { return w.toggleButton; }
    QLabel *statusLabel() const { return w.statusLabel; }
    QPlainTextEdit *logView() const { return w.logView; }
    QTableWidget *syncLogTable() const { return w.syncLogTable; }
    SyncServer *server() const { return w.server; }
    QJsonObject &config() const { return w.config; }
    bool serverRunning() const { return w.serverRunning; }
    QTimer *refreshTimer() const { return w.refreshTimer; }
    bool ipLookupBusy() const { return w.ipLookupBusy; }

    void refreshDataTable(bool keepPlace = false) { w.refreshDataTable(keepPlace); }
    void refreshStatusCard() { w.refreshStatusCard(); }
    void refreshVersions() { w.refreshVersions(); }
    void refreshSyncLog() { w.refreshSyncLog(); }
    void refreshPhonePage() { w.refreshPhonePage(); }
    QString currentRowId() const { return w.currentRowId(); }
    QJsonObject showRowEditor(const QString &table, const QString &title, const QStringList &fields,
                              const QJsonObject &existing, bool isNew)
    {
        return w.showRowEditor(table, title, fields, existing, isNew);
    }
    static QString csvField(const QJsonValue &value) { return MainWindow::csvField(value); }
    void exportCsvTo(const QString &path) { w.exportCsvTo(path); }
    ActionDelegate *actionDelegate() const { return w.actionDelegate; }

private:
    MainWindow &w;
};
