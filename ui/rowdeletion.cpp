#include "ui/mainwindow.h"

#include "catalogue/catalogue.h"
#include "storage/database.h"
#include "ui/datapage.h"
#include "ui/destructivequestion.h"

#include <QMessageBox>

void MainWindow::onDeleteRow()
{
    const TableInfo *table = nullptr;
    QString id;
    if (!selectedRow(&table, &id))
        return;

    Database &db = Database::instance();
    if (isTreeTable(table->key)) {
        if (db.hasChildren(table->key, id)) {
            QMessageBox::warning(this, QStringLiteral("这是主级，不能删除"),
                                 QStringLiteral("它下面还有 %1 个子项。\n\n请先删掉这些子项，再删它。\n"
                                                "（双击名称左边的箭头可以展开查看）")
                                     .arg(dataPage->childCount(id)));
            return;
        }
        const int users = db.countItemsUsing(table->key, id);
        if (users > 0) {
            QMessageBox::warning(this, QStringLiteral("还有物品在用"),
                                 QStringLiteral("有 %1 个物品属于这个分类/存放处。\n\n"
                                                "请先把这些物品改到别处，或者先删掉那些物品。")
                                     .arg(users));
            return;
        }
    }

    if (!askDestructiveQuestion(this, QStringLiteral("确认删除"),
                                QStringLiteral("确定删除这一条吗？\n\n可以到「历史版本」里回滚找回。")))
        return;

    applyChange(*table, QStringLiteral("删除"), id, QStringLiteral("数据库没有删掉这一条"),
                [&](QString *error) { return db.softDelete(table->key, id, error) ? id : QString(); });
}
