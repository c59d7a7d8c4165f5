#include "ui/actiondelegate.h"

#include <QEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QToolTip>

namespace {

const char *const editStyle = "QPushButton{background:#3498DB;color:#fff;border:none;border-radius:5px;"
                              "padding:0 12px;font-size:12px;}QPushButton:hover{background:#2980B9;}";
const char *const deleteStyle = "QPushButton{background:#EDF1F5;color:#E74C3C;border:none;border-radius:5px;"
                                "padding:0 12px;font-size:12px;}QPushButton:hover{background:#FADBD8;}";
const char *const parentStyle = "QPushButton{background:#EDF1F5;color:#A0AAB5;border:none;border-radius:5px;"
                                "padding:0 12px;font-size:12px;}";

constexpr int marginX = 4;
constexpr int marginY = 2;
constexpr int spacing = 6;
constexpr int buttonHeight = 26;

// An invisible button that carries the style sheet; the cells are drawn through its style.
QPushButton *makeTemplate(QWidget *parent, const QString &text, const char *styleSheet)
{
    auto *button = new QPushButton(text, parent);
    button->setStyleSheet(QString::fromLatin1(styleSheet));
    button->setFixedHeight(buttonHeight);
    button->hide();
    button->ensurePolished();
    return button;
}

} // namespace

ActionDelegate::ActionDelegate(QTableView *view)
    : QStyledItemDelegate(view)
    , view(view)
    , editTemplate(makeTemplate(view, QStringLiteral("修改"), editStyle))
    , deleteTemplate(makeTemplate(view, QStringLiteral("删除"), deleteStyle))
    , parentTemplate(makeTemplate(view, QStringLiteral("主级"), parentStyle))
{
    parentTemplate->setEnabled(false);
    view->setMouseTracking(true);
    viewportObject = view->viewport();
    viewportObject->installEventFilter(this);
}

void ActionDelegate::setColumn(int column)
{
    if (actionColumn >= 0)
        view->setItemDelegateForColumn(actionColumn, nullptr);
    actionColumn = column;
    if (actionColumn >= 0)
        view->setItemDelegateForColumn(actionColumn, this);
    hoveredIndex = QPersistentModelIndex();
    pressedIndex = QPersistentModelIndex();
    hoveredButton = pressedButton = -1;
}

bool ActionDelegate::isParentRow(const QModelIndex &index) const
{
    return index.sibling(index.row(), 0).data(ParentRole).toBool();
}

QPushButton *ActionDelegate::templateFor(int button, bool parentRow) const
{
    if (parentRow)
        return parentTemplate;
    return button == 0 ? editTemplate : deleteTemplate;
}

QRect ActionDelegate::buttonRect(const QRect &cell, int button, bool parentRow) const
{
    const int firstWidth = templateFor(0, parentRow)->sizeHint().width();
    const int width = templateFor(button, parentRow)->sizeHint().width();
    const int x = cell.x() + marginX + (button == 0 ? 0 : firstWidth + spacing);
    const int inner = cell.height() - 2 * marginY;
    const int y = cell.y() + marginY + qMax(0, (inner - buttonHeight) / 2);
    return QRect(x, y, width, qMin(buttonHeight, inner));
}

void ActionDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : view->style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &cell, painter, widget);

    const bool parentRow = isParentRow(index);
    for (int b = 0; b < 2; ++b) {
        QPushButton *look = templateFor(b, parentRow);
        QStyleOptionButton button;
        button.initFrom(look);
        button.rect = buttonRect(option.rect, b, parentRow);
        button.text = look->text();
        button.state &= ~(QStyle::State_MouseOver | QStyle::State_HasFocus);
        button.state |= QStyle::State_Raised;
        if (!parentRow && hoveredIndex == index && hoveredButton == b)
            button.state |= QStyle::State_MouseOver;
        painter->save();
        painter->setFont(look->font());
        look->style()->drawControl(QStyle::CE_PushButton, &button, painter, look);
        painter->restore();
    }
}

QSize ActionDelegate::sizeHint(const QStyleOptionViewItem &, const QModelIndex &index) const
{
    const bool parentRow = isParentRow(index);
    const QRect last = buttonRect(QRect(0, 0, 0, buttonHeight + 2 * marginY), 1, parentRow);
    return QSize(last.right() + 1 + marginX, buttonHeight + 2 * marginY);
}

int ActionDelegate::buttonAt(const QPoint &pos, QModelIndex *index) const
{
    const QModelIndex at = view->indexAt(pos);
    if (!at.isValid() || at.column() != actionColumn || isParentRow(at))
        return -1;
    const QRect cell = view->visualRect(at);
    for (int b = 0; b < 2; ++b) {
        if (buttonRect(cell, b, false).contains(pos)) {
            *index = at;
            return b;
        }
    }
    return -1;
}

void ActionDelegate::setHovered(const QModelIndex &index, int button)
{
    if (hoveredIndex == index && hoveredButton == button)
        return;
    if (hoveredIndex.isValid())
        view->viewport()->update(view->visualRect(hoveredIndex));
    hoveredIndex = index;
    hoveredButton = button;
    if (hoveredIndex.isValid())
        view->viewport()->update(view->visualRect(hoveredIndex));
}

bool ActionDelegate::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != viewportObject || actionColumn < 0)
        return QStyledItemDelegate::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::MouseMove: {
        QModelIndex index;
        const int button = buttonAt(static_cast<QMouseEvent *>(event)->position().toPoint(), &index);
        setHovered(index, button);
        break;
    }
    case QEvent::Leave:
        setHovered(QModelIndex(), -1);
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        // A press on a button belongs to the button alone, as it would with a real one:
        // the row is neither selected nor double-clicked.
        auto *mouse = static_cast<QMouseEvent *>(event);
        QModelIndex index;
        const int button = buttonAt(mouse->position().toPoint(), &index);
        if (button < 0 || mouse->button() != Qt::LeftButton)
            break;
        pressedIndex = index;
        pressedButton = button;
        return true;
    }
    case QEvent::MouseButtonRelease: {
        if (pressedButton < 0)
            break;
        auto *mouse = static_cast<QMouseEvent *>(event);
        QModelIndex index;
        const int button = buttonAt(mouse->position().toPoint(), &index);
        const bool same = index.isValid() && index == pressedIndex && button == pressedButton;
        pressedIndex = QPersistentModelIndex();
        pressedButton = -1;
        if (same && mouse->button() == Qt::LeftButton) {
            if (button == 0)
                Q_EMIT editClicked(index.row());
            else
                Q_EMIT deleteClicked(index.row());
        }
        return true;
    }
    case QEvent::ToolTip: {
        auto *help = static_cast<QHelpEvent *>(event);
        const QModelIndex at = view->indexAt(help->pos());
        if (!at.isValid() || at.column() != actionColumn || !isParentRow(at))
            break;
        const QRect cell = view->visualRect(at);
        if (buttonRect(cell, 0, true).contains(help->pos())) {
            QToolTip::showText(help->globalPos(), QStringLiteral("这下面是主级分类，需先处理完它的子分类才能修改"),
                               view->viewport());
            return true;
        }
        if (buttonRect(cell, 1, true).contains(help->pos())) {
            QToolTip::showText(help->globalPos(), QStringLiteral("这下面是主级分类，需先删掉它的子分类才能删除"),
                               view->viewport());
            return true;
        }
        QToolTip::hideText();
        return true;
    }
    default:
        break;
    }
    return false;
}
