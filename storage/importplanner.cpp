#include "storage/importplanner.h"

#include "catalogue/catalogue.h"
#include "catalogue/records.h"
#include "storage/snapshottext.h"

#include <QHash>

const QString ImportPlanner::exponentReason =
    QStringLiteral("条码被表格软件改成了科学计数法，请把该列设为文本后重新导出");

namespace {

const QString idColumn = QStringLiteral("id");

bool isStamp(const QString &column)
{
    return column == QLatin1String("createdAt") || column == QLatin1String("updatedAt");
}

bool sameValue(const QJsonValue &a, const QJsonValue &b)
{
    if (a.isDouble() && b.isDouble())
        return a.toDouble() == b.toDouble();
    if (a.isDouble() != b.isDouble())
        return false;
    return snapshottext::valueText(a) == snapshottext::valueText(b);
}

// Ids and the texts that name the live rows of one table.
class Targets
{
public:
    Targets() = default;
    Targets(const QString &label, const QList<ReferenceTarget> &targets)
        : label(label)
    {
        for (const ReferenceTarget &target : targets)
            add(target.id, target.names);
    }

    void add(const QString &id, const QStringList &names)
    {
        ids.insert(id);
        for (const QString &name : names) {
            if (name.isEmpty())
                continue;
            QStringList &named = byName[name];
            if (!named.contains(id))
                named.append(id);
        }
    }

    // The id the text names, or an empty text with the reason.
    QString resolve(const QString &text, QString *reason) const
    {
        if (ids.contains(text))
            return text;
        const QString trimmed = text.trimmed();
        if (ids.contains(trimmed))
            return trimmed;
        const QStringList named = byName.value(trimmed);
        if (named.size() == 1)
            return named.first();
        if (named.isEmpty())
            *reason = QStringLiteral("「%1」找不到对应的%2（既不是 ID，也不是现有%2的名称或路径）").arg(text, label);
        else
            *reason = QStringLiteral("「%1」对应了 %2 个%3（ID：%4），无法确定是哪一个，请改写成 ID 或完整路径")
                          .arg(text, QString::number(named.size()), label,
                               named.mid(0, 5).join(QStringLiteral("、"))
                                   + (named.size() > 5 ? QStringLiteral("…") : QString()));
        return QString();
    }

private:
    QString label;
    QSet<QString> ids;
    QHash<QString, QStringList> byName;
};

// Takes the columns of the table that the header names, in the file's order, with the field that fills
// each and its text in the file; lists the rest as ignored. Refuses a header that names none.
void mapHeader(const TableInfo &table, const QStringList &header, ImportPlan *plan, QList<int> *fieldOf,
               QStringList *headerTexts)
{
    for (qsizetype i = 0; i < header.size(); ++i) {
        const QString text = header.at(i).trimmed();
        QString column;
        for (const QString &candidate : table.columns) {
            if (candidate.compare(text, Qt::CaseInsensitive) == 0 || headerLabel(candidate) == text) {
                column = candidate;
                break;
            }
        }
        if (column.isEmpty() || plan->columns.contains(column)) {
            if (!text.isEmpty())
                plan->ignored.append(column.isEmpty() ? text : text + QStringLiteral("（重复的列）"));
            continue;
        }
        plan->columns.append(column);
        fieldOf->append(int(i));
        headerTexts->append(text);
    }
    if (!plan->columns.isEmpty())
        return;
    QStringList found;
    for (const QString &text : header)
        found.append(QStringLiteral("「%1」").arg(text.trimmed()));
    QStringList wanted;
    for (const QString &column : table.columns)
        wanted.append(headerLabel(column));
    plan->refusal = QStringLiteral("文件的表头与当前表不符\n\n文件里的列：%1\n\n「%2」表的列：%3")
                        .arg(found.join(QStringLiteral("、")), table.label, wanted.join(QStringLiteral("、")));
}

} // namespace

QString ImportPlanner::referencedTable(const QString &column, const QString &table)
{
    if (column == QLatin1String("categoryId"))
        return QStringLiteral("categories");
    if (column == QLatin1String("locationId"))
        return QStringLiteral("locations");
    if (column == QLatin1String("itemId") || column == QLatin1String("relatedItemId"))
        return QStringLiteral("items");
    if (column == QLatin1String("customerId"))
        return QStringLiteral("customers");
    if (column == QLatin1String("parentId"))
        return table;
    return QString();
}

bool ImportPlanner::parseNumber(const QString &text, double *value)
{
    QStringView rest = QStringView(text).trimmed();
    QChar sign;
    const auto takeSign = [&] {
        if (sign.isNull() && !rest.isEmpty()
            && (rest.front() == QLatin1Char('-') || rest.front() == QLatin1Char('+'))) {
            sign = rest.front();
            rest = rest.sliced(1).trimmed();
        }
    };
    takeSign();
    if (!rest.isEmpty() && (rest.front() == QChar(0x00A5) || rest.front() == QChar(0xFFE5)))
        rest = rest.sliced(1).trimmed();
    takeSign();

    // Digits with at most one point; the whole part either plain or grouped by commas in threes.
    const qsizetype point = rest.indexOf(QLatin1Char('.'));
    const QStringView whole = point < 0 ? rest : rest.first(point);
    const QStringView fraction = point < 0 ? QStringView() : rest.sliced(point + 1);
    const auto allDigits = [](QStringView part) {
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        return true;
    };
    if (whole.isEmpty() && fraction.isEmpty())
        return false;
    if (!allDigits(fraction))
        return false;
    QString digits;
    if (whole.contains(QLatin1Char(','))) {
        const QList<QStringView> groups = whole.split(QLatin1Char(','));
        for (qsizetype i = 0; i < groups.size(); ++i) {
            const qsizetype size = groups.at(i).size();
            if (!allDigits(groups.at(i)) || size > 3 || size == 0 || (i > 0 && size != 3))
                return false;
            digits += groups.at(i);
        }
    } else if (allDigits(whole)) {
        digits = whole.toString();
    } else {
        return false;
    }
    if (!sign.isNull())
        digits.prepend(sign);
    if (!fraction.isEmpty())
        digits += QLatin1Char('.') + fraction.toString();
    bool ok = false;
    const double number = digits.toDouble(&ok);
    if (ok)
        *value = number;
    return ok;
}

bool ImportPlanner::isSpreadsheetExponent(const QString &text)
{
    // Digits, maybe a point and more digits, then "E+" and digits: the form a spreadsheet gives a long number.
    QStringView rest = QStringView(text).trimmed();
    if (!rest.isEmpty() && (rest.front() == QLatin1Char('-') || rest.front() == QLatin1Char('+')))
        rest = rest.sliced(1);
    const auto digitsAt = [&rest](qsizetype at) {
        qsizetype end = at;
        while (end < rest.size() && rest.at(end) >= QLatin1Char('0') && rest.at(end) <= QLatin1Char('9'))
            ++end;
        return end - at;
    };
    qsizetype at = digitsAt(0);
    if (at == 0)
        return false;
    if (at < rest.size() && rest.at(at) == QLatin1Char('.')) {
        const qsizetype fraction = digitsAt(at + 1);
        if (fraction == 0)
            return false;
        at += 1 + fraction;
    }
    if (at + 2 >= rest.size() || (rest.at(at) != QLatin1Char('E') && rest.at(at) != QLatin1Char('e'))
        || rest.at(at + 1) != QLatin1Char('+'))
        return false;
    const qsizetype exponent = digitsAt(at + 2);
    return exponent > 0 && at + 2 + exponent == rest.size();
}

ImportPlan ImportPlanner::plan(const TableInfo &table, const csvtext::Document &file, const ImportBasis &basis)
{
    ImportPlan plan;
    plan.table = table.key;

    // Which field of a record fills which column.
    QList<int> fieldOf;
    QStringList headerTexts;
    mapHeader(table, file.header, &plan, &fieldOf, &headerTexts);
    if (!plan.refusal.isEmpty())
        return plan;

    if (plan.columns.contains(QStringLiteral("createdAt")) || plan.columns.contains(QStringLiteral("updatedAt")))
        plan.notes.append(QStringLiteral("创建时间和更新时间只用于新增的行；已有的行保留原来的创建时间，"
                                         "更新时间记为导入的时间（与在界面上修改一样）"));

    const int idField = plan.columns.contains(idColumn) ? fieldOf.at(plan.columns.indexOf(idColumn)) : -1;
    const auto idOf = [idField](const csvtext::Record &record) {
        return idField >= 0 && idField < record.fields.size() ? record.fields.at(idField).trimmed() : QString();
    };

    // The same id twice: the later row wins.
    QHash<QString, int> lastRecordOf;
    for (int r = 0; r < file.records.size(); ++r) {
        const QString id = idOf(file.records.at(r));
        if (!id.isEmpty())
            lastRecordOf.insert(id, r);
    }

    QHash<QString, int> rowOfId;
    const int storedIdColumn = basis.rows.columnIndex(idColumn);
    for (int i = 0; i < basis.rows.rowCount(); ++i)
        rowOfId.insert(basis.rows.text(i, storedIdColumn), i);

    QHash<QString, Targets> targets;
    for (const QString &column : std::as_const(plan.columns)) {
        if (!isReferenceColumn(column))
            continue;
        const QString target = referencedTable(column, table.key);
        if (targets.contains(target))
            continue;
        const TableInfo *targetInfo = findTable(target);
        Targets named(targetInfo ? targetInfo->label : target, basis.targets.value(target));
        // A tree may be brought in whole: its rows name their parents among the file's own rows.
        if (target == table.key) {
            const int nameIndex = int(plan.columns.indexOf(QStringLiteral("name")));
            for (const csvtext::Record &record : file.records) {
                const QString id = idOf(record);
                if (id.isEmpty())
                    continue;
                const int nameField = nameIndex >= 0 ? fieldOf.at(nameIndex) : -1;
                named.add(id, nameField >= 0 && nameField < record.fields.size()
                                  ? QStringList{record.fields.at(nameField).trimmed()}
                                  : QStringList());
            }
        }
        targets.insert(target, named);
    }

    QList<bool> numeric;
    QList<bool> reference;
    QList<int> storedColumn;
    for (const QString &column : std::as_const(plan.columns)) {
        const int at = int(table.columns.indexOf(column));
        numeric.append(table.declarations.value(at).startsWith(QLatin1String("REAL")));
        reference.append(isReferenceColumn(column));
        storedColumn.append(basis.rows.columnIndex(column));
    }

    for (int r = 0; r < file.records.size(); ++r) {
        const csvtext::Record &record = file.records.at(r);
        const QString id = idOf(record);
        const int keptRecord = id.isEmpty() ? r : lastRecordOf.value(id);
        if (keptRecord != r) {
            plan.notes.append(QStringLiteral("第 %1 行与第 %2 行的 ID 都是「%3」，以后面的第 %2 行为准")
                                  .arg(record.line)
                                  .arg(file.records.at(keptRecord).line)
                                  .arg(id));
            continue;
        }
        if (record.fields.size() > file.header.size()) {
            plan.errors.append({record.line, r, QString(),
                                QStringLiteral("这一行有 %1 个字段，比表头的 %2 列多（可能是某个值里有没加引号的%3）")
                                    .arg(record.fields.size())
                                    .arg(file.header.size())
                                    .arg(csvtext::separatorName(file.separator))});
            continue;
        }

        const auto existingRow = id.isEmpty() ? rowOfId.cend() : rowOfId.constFind(id);
        const bool live = existingRow != rowOfId.cend();
        const bool isNew = !live && !basis.deletedIds.contains(id);
        QJsonObject values;
        bool changed = false;
        bool failed = false;
        for (int c = 0; c < plan.columns.size(); ++c) {
            const QString &column = plan.columns.at(c);
            const int field = fieldOf.at(c);
            // A short row leaves the columns it does not reach as they are.
            if (column == idColumn || field >= record.fields.size())
                continue;
            // Edits keep the row's creation time and stamp the change themselves, as the editor does.
            if (!isNew && isStamp(column))
                continue;
            const QString &text = record.fields.at(field);
            const QJsonValue before = live ? basis.rows.value(*existingRow, storedColumn.at(c)) : QJsonValue();
            // A value that is what the row holds is taken as it is, whatever its form.
            if (live && text == snapshottext::valueText(before))
                continue;

            QJsonValue value = text;
            QString reason;
            if (numeric.at(c)) {
                double number = 0;
                if (text.trimmed().isEmpty())
                    value = QString();
                else if (parseNumber(text, &number))
                    value = number;
                else
                    reason = QStringLiteral("「%1」不是数字").arg(text);
            } else if (reference.at(c)) {
                value = text.trimmed().isEmpty()
                            ? QString()
                            : targets.value(referencedTable(column, table.key)).resolve(text, &reason);
            } else if (isSpreadsheetExponent(text)) {
                reason = exponentReason;
            }
            if (!reason.isEmpty()) {
                plan.errors.append({record.line, r, headerTexts.at(c), reason});
                failed = true;
                continue;
            }
            if (live && sameValue(value, before))
                continue;
            values.insert(column, value);
            changed = true;
        }
        if (failed)
            continue;
        if (live && !changed) {
            ++plan.unchanged;
            continue;
        }
        values.insert(idColumn, id);
        plan.rows.append({record.line, r, isNew, values});
    }
    return plan;
}
