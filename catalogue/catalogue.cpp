#include "catalogue/catalogue.h"

#include <QHash>
#include <QSet>

#include <initializer_list>
#include <string_view>

namespace {

// A column is text unless its declaration says otherwise; the id is the key.
struct Column
{
    const char *name;
    const char *declaration = "TEXT";
};

TableInfo describe(const QString &key, const QString &label, std::initializer_list<Column> columns)
{
    TableInfo table{key, label, {}, {}};
    for (const Column &column : columns) {
        table.columns << QString::fromLatin1(column.name);
        table.declarations << QString::fromLatin1(column.name == std::string_view("id") ? "TEXT PRIMARY KEY"
                                                                                        : column.declaration);
    }
    return table;
}

const QList<TableInfo> catalogue = {
    describe(QStringLiteral("items"), QStringLiteral("物品"),
             {{"id"},
              {"barcode"},
              {"name"},
              {"categoryId"},
              {"locationId"},
              {"quantity", "REAL DEFAULT 0"},
              {"unitPrice", "REAL DEFAULT 0"},
              {"expectedOutPrice", "REAL DEFAULT 0"},
              {"shortcode"},
              {"pinyin"},
              {"imagePath"},
              {"createdAt"},
              {"updatedAt"},
              {"categoryPath"},
              {"locationPath"}}),
    describe(QStringLiteral("transactions"), QStringLiteral("流水"),
             {{"id"},
              {"itemId"},
              {"type"},
              {"quantity", "REAL DEFAULT 0"},
              {"unitPrice", "REAL DEFAULT 0"},
              {"operatorId"},
              {"paymentMethod"},
              {"customerId"},
              {"status"},
              {"createdAt"},
              {"itemName"},
              {"customerName"}}),
    describe(QStringLiteral("categories"), QStringLiteral("分类"),
             {{"id"}, {"name"}, {"parentId"}, {"createdAt"}, {"fullPath"}}),
    describe(QStringLiteral("locations"), QStringLiteral("存放处"),
             {{"id"}, {"name"}, {"description"}, {"parentId"}, {"createdAt"}, {"fullPath"}}),
    describe(QStringLiteral("customers"), QStringLiteral("客户"),
             {{"id"}, {"name"}, {"phone"}, {"address"}, {"createdAt"}}),
    describe(QStringLiteral("relations"), QStringLiteral("关联物品"),
             {{"id"}, {"itemId"}, {"relatedItemId"}, {"quantity", "REAL DEFAULT 1"}, {"createdAt"}}),
};

} // namespace

const QList<TableInfo> &tables()
{
    return catalogue;
}

const TableInfo *findTable(const QString &key)
{
    for (const TableInfo &table : catalogue) {
        if (table.key == key)
            return &table;
    }
    return nullptr;
}

QString headerLabel(const QString &column)
{
    static const QHash<QString, QString> labels = {
        {"id", "ID"},
        {"createdAt", "创建时间"},
        {"updatedAt", "更新时间"},
        {"barcode", "条码号"},
        {"name", "名称"},
        {"categoryId", "所属分类"},
        {"locationId", "存放位置"},
        {"quantity", "数量"},
        {"unitPrice", "单价"},
        {"expectedOutPrice", "预期出库价"},
        {"shortcode", "编码"},
        {"pinyin", "拼音"},
        {"imagePath", "图片路径"},
        {"categoryPath", "分类"},
        {"locationPath", "存放处"},
        {"itemId", "关联物品"},
        {"itemName", "物品名称"},
        {"type", "类型"},
        {"operatorId", "操作人"},
        {"paymentMethod", "付款方式"},
        {"customerId", "客户"},
        {"customerName", "客户名称"},
        {"status", "收款状态"},
        {"parentId", "上级分类/存放处"},
        {"fullPath", "完整路径"},
        {"description", "描述"},
        {"phone", "电话"},
        {"address", "地址"},
        {"relatedItemId", "被关联物品"},
        {"serverUpdatedAt", "服务器更新时间"},
        {"deleted", "已删除"},
    };
    return labels.value(column, column);
}

bool isReferenceColumn(const QString &column)
{
    static const QSet<QString> references = {"categoryId",    "locationId", "itemId",
                                             "relatedItemId", "customerId", "parentId"};
    return references.contains(column);
}

bool isTreeTable(const QString &key)
{
    return key == QLatin1String("categories") || key == QLatin1String("locations");
}

const QHash<QString, QString> *codeWords(const QString &column)
{
    static const QHash<QString, QHash<QString, QString>> words = {
        {QStringLiteral("type"),
         {{QStringLiteral("out"), QStringLiteral("出库")}, {QStringLiteral("in"), QStringLiteral("入库")}}},
        {QStringLiteral("status"),
         {{QStringLiteral("unpaid"), QStringLiteral("未收")}, {QStringLiteral("paid"), QStringLiteral("已收")}}},
        {QStringLiteral("paymentMethod"),
         {{QStringLiteral("credit"), QStringLiteral("赊账")}, {QStringLiteral("cash"), QStringLiteral("现金")}}},
    };
    const auto found = words.constFind(column);
    return found == words.cend() ? nullptr : &*found;
}
