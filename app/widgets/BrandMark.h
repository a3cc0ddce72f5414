#pragma once

#include <QWidget>

// The brand mark at the top of the navigation rail. It only paints, on the GUI thread, through the
// same drawing routine as the application icon, so both always show the same mark.
class BrandMark : public QWidget
{
public:
    explicit BrandMark(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
