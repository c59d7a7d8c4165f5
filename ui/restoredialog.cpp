#include "ui/restoredialog.h"

#include "catalogue/catalogue.h"
#include "storage/database.h"
#include "storage/diskspace.h"
#include "storage/handoff.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include <utility>

namespace {

// Columns: the file, its date and size, one per data table, then the check.
const int firstCountColumn = 3;

QString dateText(const BackupInfo &backup)
{
    if (backup.setAside)
        return backup.madeAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral("（恢复前另存）");
    return backup.madeAt.toString(QStringLiteral("yyyy-MM-dd"));
}

} // namespace

BackupInspector::BackupInspector(const QStringList &files, std::shared_ptr<std::atomic_bool> cancelled)
    : files(files)
    , cancelled(std::move(cancelled))
{
}

void BackupInspector::run()
{
    for (int row = 0; row < files.size() && !*cancelled; ++row) {
        QJsonObject counts;
        QString error;
        Database::backupCounts(files.at(row), &counts, &error);
        Q_EMIT countsRead(row, counts, error);
    }
    for (int row = 0; row < files.size() && !*cancelled; ++row)
        Q_EMIT checked(row, Database::quickCheck(files.at(row)));
    Q_EMIT finished();
}

RestoreDialog::RestoreDialog(const QString &folder, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("从备份恢复"));
    resize(1000, 480);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(12);

    auto *title = new QLabel(QStringLiteral("从备份恢复"), this);
    title->setObjectName(QStringLiteral("cardTitle"));
    layout->addWidget(title);
    auto *where = new QLabel(QStringLiteral("备份文件夹: %1").arg(folder), this);
    where->setObjectName(QStringLiteral("muted"));
    where->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(where);

    QStringList headers{QStringLiteral("备份"), QStringLiteral("日期"), QStringLiteral("大小")};
    for (const TableInfo &table : tables())
        headers << table.label;
    headers << QStringLiteral("完整性检查");
    const QList<BackupInfo> backups = Database::listBackups(folder);
    list = new QTableWidget(int(backups.size()), int(headers.size()), this);
    list->setHorizontalHeaderLabels(headers);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->verticalHeader()->setVisible(false);
    list->horizontalHeader()->setStretchLastSection(true);
    for (int row = 0; row < backups.size(); ++row) {
        const BackupInfo &backup = backups.at(row);
        files << backup.path;
        QStringList cells{backup.fileName, dateText(backup), diskspace::formatSize(backup.size)};
        for (int i = 0; i < tables().size(); ++i)
            cells << QStringLiteral("…");
        cells << QStringLiteral("检查中…");
        for (int column = 0; column < cells.size(); ++column)
            list->setItem(row, column, new QTableWidgetItem(cells.at(column)));
    }
    for (int column = 0; column < list->columnCount() - 1; ++column)
        list->resizeColumnToContents(column);
    layout->addWidget(list, 1);

    auto *actions = new QHBoxLayout;
    auto *hint = new QLabel(backups.isEmpty() ? QStringLiteral("备份文件夹中还没有备份")
                                              : QStringLiteral("恢复前会先把当前数据库另存到备份文件夹"),
                            this);
    hint->setObjectName(QStringLiteral("muted"));
    actions->addWidget(hint, 1);
    auto *restoreButton = new QPushButton(QStringLiteral("恢复所选备份"), this);
    restoreButton->setObjectName(QStringLiteral("danger"));
    restoreButton->setEnabled(!backups.isEmpty());
    connect(restoreButton, &QPushButton::clicked, this, &RestoreDialog::onRestoreClicked);
    actions->addWidget(restoreButton);
    auto *closeButton = new QPushButton(QStringLiteral("关闭"), this);
    closeButton->setObjectName(QStringLiteral("plain"));
    connect(closeButton, &QPushButton::clicked, this, &QDialog::reject);
    actions->addWidget(closeButton);
    layout->addLayout(actions);

    if (files.isEmpty())
        return;
    // The thread has no parent: it finishes the copy in hand after the dialog is gone, then deletes itself.
    auto *thread = new QThread;
    auto *inspector = new BackupInspector(files, cancelled);
    inspector->moveToThread(thread);
    connect(thread, &QThread::started, inspector, &BackupInspector::run);
    connect(inspector, &BackupInspector::finished, thread, &QThread::quit);
    connect(thread, &QThread::finished, inspector, &QObject::deleteLater);
    connect(thread, &QThread::finished, qApp, [thread] { handoff::deleteEnded(thread); });
    connect(inspector, &BackupInspector::countsRead, this, &RestoreDialog::onCountsRead);
    connect(inspector, &BackupInspector::checked, this, &RestoreDialog::onChecked);
    connect(qApp, &QCoreApplication::aboutToQuit, thread, [thread] {
        thread->quit();
        thread->wait();
    });
    thread->start(QThread::LowPriority);
}

RestoreDialog::~RestoreDialog()
{
    *cancelled = true;
}

void RestoreDialog::onCountsRead(int row, const QJsonObject &counts, const QString &error)
{
    for (int i = 0; i < tables().size(); ++i) {
        const QString text =
            error.isEmpty() ? QString::number(counts.value(tables().at(i).key).toInteger()) : QStringLiteral("—");
        list->item(row, firstCountColumn + i)->setText(text);
    }
    if (!error.isEmpty()) {
        unreadable.insert(row);
        list->item(row, firstCountColumn + int(tables().size()))->setText(QStringLiteral("无法读取: ") + error);
    }
}

void RestoreDialog::onChecked(int row, const QString &result)
{
    const QString text = result == QLatin1String("ok")
                             ? QStringLiteral("通过")
                             : QStringLiteral("未通过: ") + result.section(QLatin1Char('\n'), 0, 0);
    QTableWidgetItem *item = list->item(row, firstCountColumn + int(tables().size()));
    item->setToolTip(result);
    if (!unreadable.contains(row))
        item->setText(text);
}

void RestoreDialog::onRestoreClicked()
{
    const int row = list->currentRow();
    if (row < 0 || row >= files.size()) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("请先选中一个备份"));
        return;
    }
    chosen = files.at(row);
    accept();
}
