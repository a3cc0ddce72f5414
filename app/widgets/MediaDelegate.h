#pragma once

#include <QStyledItemDelegate>

// Painter of one media tile of the running order: a container badge, the file name shortened in
// the middle and, at the right, the item's status (role Qt::UserRole + 1) in the colour of its
// Program (A or PROGRAM red, B violet, others cyan). Selection and background come from the style.
// GUI thread only.
class MediaDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static constexpr int statusRole = Qt::UserRole + 1;

    // Colour of a status text and of its badge.
    static QColor statusColor(const QString &status);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
};
