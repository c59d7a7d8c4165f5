#pragma once

#include "app/paths.h"
#include "testnet.h"
#include "storage/rowtable.h"
#include "ui/datapage.h"
#include "ui/datatablemodel.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QComboBox>
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
#include <QTimer>

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

} // namespace testutil

// Reaches the window's members for tests; the window declares this class its friend.
class MainWindowTest
{
public:
    explicit MainWindowTest(MainWindow &window) : w(window) {}

    QStackedWidget *stack() const { return w.stack; }
    QListWidget *nav() const { return w.nav; }
    DataPage *dataPage() const { return w.dataPage; }
    QComboBox *tableCombo() const { return w.dataPage->tableChooser(); }
    QLineEdit *searchEdit() const { return w.dataPage->searchField(); }
    QTableView *dataTable() const { return w.dataPage->view(); }
    QLabel *countLabel() const { return w.dataPage->countLine(); }
    const RowTable &currentRows() const { return w.dataPage->rows(); }
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

    void refreshDataTable(bool keepPlace = false) { w.dataPage->refresh(keepPlace); }
    void refreshStatusCard() { w.refreshStatusCard(); }
    void refreshVersions() { w.refreshVersions(); }
    void refreshSyncLog() { w.refreshSyncLog(); }
    void refreshPhonePage() { w.refreshPhonePage(); }
    QString currentRowId() const { return w.dataPage->currentRowId(); }
    QJsonObject showRowEditor(const QString &table, const QString &title, const QStringList &fields,
                              const QJsonObject &existing, bool isNew)
    {
        return w.showRowEditor(table, title, fields, existing, isNew);
    }
    static QString csvField(const QJsonValue &value) { return MainWindow::csvField(value); }
    void exportCsvTo(const QString &path) { w.exportCsvTo(path); }
    ActionDelegate *actionDelegate() const { return w.dataPage->actions(); }

private:
    MainWindow &w;
};
