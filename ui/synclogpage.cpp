#include "ui/synclogpage.h"

#include "storage/database.h"
#include "storage/storagethread.h"
#include "ui/destructivequestion.h"
#include "ui/versioncomparedialog.h"

#include <QAbstractItemView>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const int syncLogLimit = 100;

// Rows may carry English action names; they read as the words this program stores.
QString syncActionLabel(const QString &action)
{
    static const QHash<QString, QString> labels{
        {QStringLiteral("export"), QStringLiteral("拉取")},   {QStringLiteral("import"), QStringLiteral("推送")},
        {QStringLiteral("deny"), QStringLiteral("拒绝")},     {QStringLiteral("update"), QStringLiteral("修改")},
        {QStringLiteral("insert"), QStringLiteral("新增")},   {QStringLiteral("delete"), QStringLiteral("删除")},
        {QStringLiteral("rollback"), QStringLiteral("回滚")}, {QStringLiteral("snapshot"), QStringLiteral("存档")},
    };
    if (action.isEmpty())
        return QStringLiteral("—");
    return labels.value(action, action);
}

QString syncPeerLabel(const QString &peer)
{
    if (peer == QLatin1String("web"))
        return QStringLiteral("网页端");
    if (peer == QLatin1String("qt-ui") || peer == QLatin1String("qt"))
        return QStringLiteral("本机界面");
    if (peer.isEmpty())
        return QStringLiteral("—");
    return peer;
}

QLabel *mutedLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QStringLiteral("muted"));
    return label;
}

QPushButton *plainButton(const QString &text, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QStringLiteral("plain"));
    return button;
}

} // namespace

SyncLogPage::SyncLogPage(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(12);

    auto *title = new QLabel(QStringLiteral("同步日志"), this);
    title->setObjectName(QStringLiteral("cardTitle"));
    layout->addWidget(title);

    auto *recordsBar = new QHBoxLayout;
    recordsBar->addWidget(mutedLabel(QStringLiteral("手机同步记录"), this));
    recordsBar->addStretch();
    auto *compareButton = plainButton(QStringLiteral("查看改动"), this);
    connect(compareButton, &QPushButton::clicked, this, &SyncLogPage::onCompare);
    recordsBar->addWidget(compareButton);
    auto *refreshButton = plainButton(QStringLiteral("刷新"), this);
    connect(refreshButton, &QPushButton::clicked, this, &SyncLogPage::refreshRequested);
    recordsBar->addWidget(refreshButton);
    auto *clearRecordsButton = plainButton(QStringLiteral("清除记录"), this);
    connect(clearRecordsButton, &QPushButton::clicked, this, &SyncLogPage::onClearSyncRecords);
    recordsBar->addWidget(clearRecordsButton);
    layout->addLayout(recordsBar);

    syncLogTable = new QTableWidget(0, 4, this);
    syncLogTable->setHorizontalHeaderLabels(
        {QStringLiteral("时间"), QStringLiteral("来源 IP"), QStringLiteral("动作"), QStringLiteral("说明")});
    syncLogTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    syncLogTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    syncLogTable->verticalHeader()->setVisible(false);
    syncLogTable->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(syncLogTable, 1);

    auto *logBar = new QHBoxLayout;
    logBar->addWidget(mutedLabel(QStringLiteral("程序运行日志"), this));
    logBar->addStretch();
    auto *clearLogButton = plainButton(QStringLiteral("清除日志"), this);
    logBar->addWidget(clearLogButton);
    layout->addLayout(logBar);

    logView = new QPlainTextEdit(this);
    logView->setReadOnly(true);
    logView->setMaximumHeight(160);
    layout->addWidget(logView);
    connect(clearLogButton, &QPushButton::clicked, logView, &QPlainTextEdit::clear);
}

void SyncLogPage::refresh()
{
    const QJsonArray entries = Database::instance().recentSyncLog(syncLogLimit);
    syncLogTable->setRowCount(entries.size());
    for (int row = 0; row < entries.size(); ++row) {
        const QJsonObject entry = entries.at(row).toObject();
        const QStringList cells{entry.value(QStringLiteral("at")).toString(),
                                syncPeerLabel(entry.value(QStringLiteral("peer")).toString()),
                                syncActionLabel(entry.value(QStringLiteral("action")).toString()),
                                entry.value(QStringLiteral("detail")).toString()};
        for (int column = 0; column < cells.size(); ++column)
            syncLogTable->setItem(row, column, new QTableWidgetItem(cells.at(column)));
        // The stored words, which the version before the change is found by.
        syncLogTable->item(row, 0)->setData(
            Qt::UserRole, VersionHistory::reasonBefore(entry.value(QStringLiteral("peer")).toString(),
                                                       entry.value(QStringLiteral("action")).toString()));
    }
    // Column by column and the last one left out: resizeColumnsToContents() would undo its stretch until the next resize.
    for (int column = 0; column < syncLogTable->columnCount() - 1; ++column)
        syncLogTable->resizeColumnToContents(column);
}

void SyncLogPage::appendLogLine(const QString &line)
{
    logView->appendPlainText(line);
}

QString SyncLogPage::programLog() const
{
    return logView->toPlainText();
}

void SyncLogPage::onClearSyncRecords()
{
    if (syncLogTable->rowCount() == 0) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("手机同步记录已经是空的了"));
        return;
    }
    if (!askDestructiveQuestion(
            this, QStringLiteral("确认清除"),
            QStringLiteral("确定清除全部手机同步记录吗？\n\n（只清这份连接记录，物品、流水等业务数据不受影响）")))
        return;

    StorageThread::run(
        storage, this, [] { return Database::instance().clearSyncLog(); },
        [this](int) {
            refresh();
            // Storage reports no failure of its own here; rows still listed (or no database at all) mean
            // nothing was cleared.
            const bool cleared = Database::instance().isOpen() && syncLogTable->rowCount() == 0;
            Q_EMIT logMessage(cleared ? QStringLiteral("已清除手机同步记录") : QStringLiteral("清除手机同步记录失败"));
        });
}

void SyncLogPage::onCompare()
{
    const int row = syncLogTable->currentRow();
    if (row < 0) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("请先选中一条记录"));
        return;
    }
    const QString reason = syncLogTable->item(row, 0)->data(Qt::UserRole).toString();
    if (reason.isEmpty()) {
        QMessageBox::information(
            this, QStringLiteral("提示"),
            QStringLiteral("推送、回滚、导入和恢复的记录才能查看改动，请在「历史版本」里查看其他改动"));
        return;
    }
    const int version = Database::instance().newestVersionBefore(reason, syncLogTable->item(row, 0)->text());
    if (version == 0) {
        QMessageBox::information(this, QStringLiteral("提示"), QStringLiteral("这次改动之前的版本已经不在历史里了"));
        return;
    }
    VersionCompareDialog *dialog = VersionCompareDialog::openFor(version, storage, this);
    connect(dialog, &VersionCompareDialog::restored, this, &SyncLogPage::rowsRestored);
}
