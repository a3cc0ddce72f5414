#include "app/widgets/MediaDelegate.h"

#include <QApplication>
#include <QFileInfo>
#include <QPainter>

#include <algorithm>

QColor MediaDelegate::statusColor(const QString &status)
{
    if (status.startsWith(QLatin1Char('A')) || status.startsWith(QLatin1String("PROGRAM")))
        return QColor(QStringLiteral("#f37e75"));
    if (status.startsWith(QLatin1Char('B')))
        return QColor(QStringLiteral("#b38bea"));
    return QColor(QStringLiteral("#64cde0"));
}

void MediaDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const
{
    QStyleOptionViewItem base(option);
    initStyleOption(&base, index);
    const QString name = base.text;
    base.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &base, painter, widget);

    painter->save();
    painter->setClipRect(option.rect);
    painter->setRenderHint(QPainter::Antialiasing);
    const QRect r = option.rect.adjusted(8, 5, -8, -5);

    const QString status = index.data(statusRole).toString();
    const QColor color = statusColor(status);

    // Container badge.
    const QString suffix = QFileInfo(name).suffix().toUpper().left(6);
    const QRect badge(r.left(), r.top() + (r.height() - 24) / 2, 46, 24);
    painter->setPen(QColor(QStringLiteral("#324d61")));
    painter->setBrush(QColor(QStringLiteral("#1a3040")));
    // Half-pixel inset: the one-pixel border sits on whole pixels instead of blurring over two.
    painter->drawRoundedRect(QRectF(badge).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    QFont badgeFont(QStringLiteral("Segoe UI"), 7);
    badgeFont.setWeight(QFont::DemiBold);
    painter->setFont(badgeFont);
    painter->setPen(color);
    painter->drawText(badge, Qt::AlignCenter, suffix);

    painter->setFont(option.font);
    int statusWidth = 0;
    if (!status.isEmpty()) {
        const int advance = QFontMetrics(option.font).horizontalAdvance(status);
        statusWidth = std::min(std::max(advance + 12, 49), std::max(r.width() - 64, 0));
    }

    QRect nameRect = r.adjusted(58, 0, 0, 0);
    if (statusWidth > 0)
        nameRect.setRight(nameRect.right() - (statusWidth + 6));
    const QFontMetrics metrics(option.font);
    painter->setPen(QColor(QStringLiteral("#e4edf6")));
    painter->drawText(nameRect, Qt::AlignLeft | Qt::AlignVCenter,
                      metrics.elidedText(name, Qt::ElideMiddle, std::max(nameRect.width(), 0)));

    if (statusWidth > 0) {
        const QRect statusRect(r.left() + r.width() - statusWidth, r.top() + r.height() / 2 - 10, statusWidth, 20);
        painter->setPen(color);
        painter->drawText(statusRect, Qt::AlignCenter,
                          metrics.elidedText(status, Qt::ElideRight, statusWidth));
    }
    painter->restore();
}
