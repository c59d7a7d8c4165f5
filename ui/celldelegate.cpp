#include "ui/celldelegate.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QToolTip>

namespace {

// Enough for the sampled rows of every column of a few refreshes; beyond it the sizes start again.
constexpr qsizetype maxRemembered = 50000;

} // namespace

QSize CellDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    if (index.data(Qt::FontRole).isValid())
        return QStyledItemDelegate::sizeHint(option, index);
    const QString text = index.data(Qt::DisplayRole).toString();
    const auto known = sizes.constFind(text);
    if (known != sizes.cend())
        return *known;
    if (sizes.size() >= maxRemembered)
        sizes.clear();
    const QSize size = QStyledItemDelegate::sizeHint(option, index);
    sizes.insert(text, size);
    return size;
}

bool CellDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                             const QModelIndex &index)
{
    if (event->type() == QEvent::ToolTip && index.isValid() && !index.data(Qt::ToolTipRole).isValid()) {
        QStyleOptionViewItem cell = option;
        initStyleOption(&cell, index);
        // The width the text needs on one line, not wrapped into the cell it is cut to.
        cell.features &= ~QStyleOptionViewItem::WrapText;
        cell.rect = QRect();
        if (QStyledItemDelegate::sizeHint(cell, index).width() > option.rect.width()) {
            QToolTip::showText(event->globalPos(), cell.text, view->viewport(), option.rect);
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}
