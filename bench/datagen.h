#pragma once

// A realistic shop database as a snapshot document, for benchmarks: N items in a category tree of a
// few hundred nodes and a location tree, 2N transactions, customers and relations. Deterministic for
// a given seed.

#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

namespace datagen {

struct Node
{
    QString id;
    QString name;
    QString parentId;
    QString path;
};

inline QString stamp(QRandomGenerator &random, int fromYear = 2021)
{
    return QStringLiteral("%1-%2-%3 %4:%5:%6")
        .arg(fromYear + random.bounded(5))
        .arg(1 + random.bounded(12), 2, 10, QLatin1Char('0'))
        .arg(1 + random.bounded(28), 2, 10, QLatin1Char('0'))
        .arg(random.bounded(24), 2, 10, QLatin1Char('0'))
        .arg(random.bounded(60), 2, 10, QLatin1Char('0'))
        .arg(random.bounded(60), 2, 10, QLatin1Char('0'));
}

inline QString pick(QRandomGenerator &random, const QStringList &words)
{
    return words.at(random.bounded(words.size()));
}

// A tree with the given fan-out per level; returns every node, parents before children.
inline QList<Node> tree(const QString &prefix, const QList<int> &fanOut, const QStringList &words,
                        QRandomGenerator &random)
{
    QList<Node> nodes;
    QList<int> level;
    for (int i = 0; i < fanOut.first(); ++i) {
        const QString name = pick(random, words) + QString::number(i + 1);
        nodes.append({QStringLiteral("%1-%2").arg(prefix).arg(nodes.size()), name, QString(), name});
        level << nodes.size() - 1;
    }
    for (int depth = 1; depth < fanOut.size(); ++depth) {
        QList<int> next;
        for (int parent : level) {
            for (int i = 0; i < fanOut[depth]; ++i) {
                const Node &p = nodes[parent];
                const QString name = pick(random, words) + QString::number(i + 1);
                const Node node{QStringLiteral("%1-%2").arg(prefix).arg(nodes.size()), name, p.id,
                                p.path + QStringLiteral(" > ") + name};
                nodes.append(node);
                next << nodes.size() - 1;
            }
        }
        level = next;
    }
    return nodes;
}

inline QJsonObject snapshotDocument(int itemCount, quint32 seed = 20240601)
{
    QRandomGenerator random(seed);
    const QStringList kinds = {"电阻",   "电容", "轴承", "螺丝", "垫片", "齿轮",   "皮带", "滤芯", "保险丝", "继电器",
                               "传感器", "电机", "开关", "插头", "线缆", "密封圈", "弹簧", "阀门", "接头",   "刹车片"};
    const QStringList places = {"仓库", "货架", "抽屉", "柜子", "层", "格"};
    const QStringList people = {"张", "王", "李", "赵", "刘", "陈", "杨", "黄", "周", "吴"};

    // 8 + 64 + 256 = 328 categories; 3 + 24 + 192 = 219 locations.
    const QList<Node> categories = tree(QStringLiteral("cat"), {8, 8, 4}, kinds, random);
    const QList<Node> locations = tree(QStringLiteral("loc"), {3, 8, 8}, places, random);
    const int customerCount = qMax(10, itemCount / 20);

    QJsonArray categoryRows;
    for (const Node &node : categories)
        categoryRows.append(QJsonObject{{"id", node.id},
                                        {"name", node.name},
                                        {"parentId", node.parentId},
                                        {"createdAt", stamp(random, 2020)},
                                        {"fullPath", node.path}});
    QJsonArray locationRows;
    for (const Node &node : locations)
        locationRows.append(QJsonObject{{"id", node.id},
                                        {"name", node.name},
                                        {"description", node.path + QStringLiteral(" 靠门")},
                                        {"parentId", node.parentId},
                                        {"createdAt", stamp(random, 2020)},
                                        {"fullPath", node.path}});

    QJsonArray customerRows;
    for (int i = 0; i < customerCount; ++i)
        customerRows.append(QJsonObject{{"id", QStringLiteral("cus-%1").arg(i)},
                                        {"name", pick(random, people) + QStringLiteral("师傅%1").arg(i)},
                                        {"phone", QStringLiteral("13%1").arg(random.bounded(100000000, 999999999))},
                                        {"address", QStringLiteral("工业路 %1 号").arg(random.bounded(1, 900))},
                                        {"createdAt", stamp(random)}});

    QJsonArray itemRows;
    QStringList itemNames;
    itemNames.reserve(itemCount);
    for (int i = 0; i < itemCount; ++i) {
        const Node &category = categories[random.bounded(categories.size())];
        const Node &location = locations[random.bounded(locations.size())];
        const QString name = category.name + QStringLiteral(" 型号%1").arg(random.bounded(1000, 99999));
        const QString created = stamp(random);
        itemNames << name;
        itemRows.append(QJsonObject{
            {"id", QStringLiteral("item-%1").arg(i)},
            {"barcode", QStringLiteral("69%1").arg(random.bounded(100000000, 999999999))},
            {"name", name},
            {"categoryId", category.id},
            {"locationId", location.id},
            {"quantity", random.bounded(500)},
            {"unitPrice", random.bounded(10000) / 100.0},
            {"expectedOutPrice", random.bounded(20000) / 100.0},
            {"shortcode", QStringLiteral("S%1").arg(i)},
            {"pinyin", QStringLiteral("xh%1").arg(i)},
            {"imagePath", i % 3 ? QString() : QStringLiteral("/storage/emulated/0/plindor/img/%1.jpg").arg(i)},
            {"createdAt", created},
            {"updatedAt", created},
            {"categoryPath", category.path},
            {"locationPath", location.path}});
    }

    QJsonArray transactionRows;
    for (int i = 0; i < 2 * itemCount; ++i) {
        const int item = random.bounded(itemCount);
        const int customer = random.bounded(customerCount);
        const bool out = random.bounded(2);
        transactionRows.append(QJsonObject{
            {"id", QStringLiteral("tx-%1").arg(i)},
            {"itemId", QStringLiteral("item-%1").arg(item)},
            {"type", out ? QStringLiteral("出库") : QStringLiteral("入库")},
            {"quantity", 1 + random.bounded(20)},
            {"unitPrice", random.bounded(10000) / 100.0},
            {"operatorId", QStringLiteral("op-%1").arg(random.bounded(5))},
            {"paymentMethod", out ? QStringLiteral("微信") : QString()},
            {"customerId", out ? QStringLiteral("cus-%1").arg(customer) : QString()},
            {"status", out ? QStringLiteral("已收款") : QString()},
            {"createdAt", stamp(random)},
            {"itemName", itemNames[item]},
            {"customerName", out ? customerRows[customer].toObject().value("name").toString() : QString()}});
    }

    QJsonArray relationRows;
    for (int i = 0; i < itemCount / 4; ++i)
        relationRows.append(QJsonObject{{"id", QStringLiteral("rel-%1").arg(i)},
                                        {"itemId", QStringLiteral("item-%1").arg(random.bounded(itemCount))},
                                        {"relatedItemId", QStringLiteral("item-%1").arg(random.bounded(itemCount))},
                                        {"quantity", 1 + random.bounded(4)},
                                        {"createdAt", stamp(random)}});

    return QJsonObject{{"app", "plindor"},
                       {"protocol", 1},
                       {"exportedAt", "2026-01-01 00:00:00"},
                       {"deviceName", "测试手机"},
                       {"platform", "android"},
                       {"items", itemRows},
                       {"transactions", transactionRows},
                       {"categories", categoryRows},
                       {"locations", locationRows},
                       {"customers", customerRows},
                       {"relations", relationRows}};
}

} // namespace datagen
