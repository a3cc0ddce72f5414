#pragma once

#include <QWidget>

// Placeholder picture of the monitors in the layout board (sample content): a lit stage with a
// screen, light beams and an audience, painted on a 960 x 540 canvas scaled to the widget, so the
// board shows a plausible desk without any media. The variant picks the accent colour (1 amber,
// 2 violet, else blue). GUI thread only.
class SamplePicture : public QWidget
{
public:
    explicit SamplePicture(int variant, QWidget *parent = nullptr);

    int variant() const { return accentVariant; }
    QColor accent() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int accentVariant = 0;
};
