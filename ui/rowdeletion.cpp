#include "ui/rowdeletion.h"

#include "catalogue/catalogue.h"
#include "storage/database.h"
#include "ui/destructivequestion.h"

#include <QMessageBox>

bool confirmRowDeletion(QWidget *parent, const TableInfo &table, const QString &id, int shownChildren)
{
    Database &db = Database::instance();
    if (isTreeTable(table.key)) {
        if (db.hasChildren(table.key, id)) {
            QMessageBox::warning(parent, QStringLiteral("这是主级，不能删除"),
                                 QStringLiteral("它下面还有 %1 个子项。\n\n请先删掉这些子项，再删它。\n"
                                                "（双击名称左边的箭头可以展开查看）")
                                     .arg(shownChildren));
            return false;
        }
        const int users = db.countItemsUsing(table.key, id);
        if (users > 0) {
            QMessageBox::warning(parent, QStringLiteral("还有物品在用"),
                                 QStringLiteral("有 %1 个物品属于这个分类/存放处。\n\n"
                                                "请先把这些物品改到别处，或者先删掉那些物品。")
                                     .arg(users));
            return false;
        }
    }

    return askDestructiveQuestion(parent, QStringLiteral("确认删除"),
                                  QStringLiteral("确定删除这一条吗？\n\n可以到「历史版本」里回滚找回。"));
}
