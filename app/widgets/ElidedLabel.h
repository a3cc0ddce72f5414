#pragma once

#include <QLabel>

// A one-line label that never widens its layout: a text that does not fit is shortened in the
// middle, so that both the start and the end of a path or title stay readable (the heading and the
// status line of the window). GUI thread only.
class ElidedLabel : public QLabel
{
public:
    explicit ElidedLabel(QWidget *parent = nullptr);
    explicit ElidedLabel(const QString &text, QWidget *parent = nullptr);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

    // The text as it is painted at the label's current width.
    QString elidedText() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};
