#include "app/MainWindow.h"

#include "outputs/display/OutputWindow.h"
#include "outputs/display/PixelSize.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace {

QString screenIdentity(const QScreen *screen)
{
    return QString::number(quintptr(screen), 16);
}

} // namespace

QComboBox *MainWindow::routeSource(int route) const
{
    return route >= 0 && route < routes.size() ? routes[route].source.data() : nullptr;
}

QComboBox *MainWindow::routeDisplay(int route) const
{
    return route >= 0 && route < routes.size() ? routes[route].display.data() : nullptr;
}

QComboBox *MainWindow::routeScaling(int route) const
{
    return route >= 0 && route < routes.size() ? routes[route].scaling.data() : nullptr;
}

OutputWindow *MainWindow::routeWindow(int route) const
{
    return route >= 0 && route < routeWindows.size() ? routeWindows[route].data() : nullptr;
}

int MainWindow::routeOpenedIndex(int route) const
{
    return route >= 0 && route < routeOpenedProgram.size() ? routeOpenedProgram[route] : -1;
}

void MainWindow::openDisplayOutput(int route)
{
    QComboBox *source = routeSource(route);
    if (route < 0 || route >= routeCount || !source || source->currentIndex() < 0
        || source->currentIndex() >= programCount) {
        setStatus(QStringLiteral("Add this output before opening it."));
        return;
    }
    if (sampleContent) {
        setStatus(QStringLiteral("Layout preview — sample content"));
        return;
    }
    QScreen *screen = routeScreen(route);
    const bool floating = routeDisplay(route) && routeDisplay(route)->currentData().toString() == QStringLiteral("floating");
    if (!screen && !floating) {
        setStatus(QStringLiteral("Selected display is unavailable"));
        return;
    }
    if (routeWindows[route])
        routeWindows[route]->close();
    const int programIndex = source->currentIndex();
    const QString scaling = routeScaling(route) ? routeScaling(route)->currentData().toString() : QString();
    const int mode = scaling == QStringLiteral("gpu") ? 2 : scaling == QStringLiteral("lanczos") ? 1 : 0;
    auto *window = new OutputWindow(channel(programIndex), &outputRouter, mode, nullptr);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QStringLiteral("Zelvo Playout — Output %1").arg(route + 1));
    connect(window, &OutputWindow::warning, this, [this](const QString &message) { setStatus(message); });
    // Queued: while the window is being destroyed it must not be read by the refresh.
    connect(window, &QObject::destroyed, this, [this] { tick(); }, Qt::QueuedConnection);
    routeOpenedProgram[route] = programIndex;
    routeWindows[route] = window;
    routeDecks[route] = channel(programIndex);
    outputWindows.append(window);
    window->setArea(routeRegion(route));
    window->showOnScreen(floating ? nullptr : screen);
}

bool MainWindow::validateOutputConfiguration(const OutputConfig &config)
{
    if (std::max(0, config.programs - programCount) + qint64(nextProgramId) >= 1000002) {
        setStatus(QStringLiteral("Program allocation limit reached"));
        return false;
    }
    bool valid = config.programs >= 1 && config.programs <= 64 && config.displays >= 1 && config.displays <= 128
                 && config.displayPrograms.size() == config.displays;
    for (int shown : config.displayPrograms)
        valid = valid && shown >= 0 && shown < config.programs;
    if (!valid) {
        setStatus(QStringLiteral("Invalid output configuration"));
        return false;
    }
    for (int index = config.programs; index < programCount; ++index) {
        if (channelBusy(index)) {
            setStatus(QStringLiteral("Black the Program and close its display and digital outputs before removing it."));
            return false;
        }
    }
    for (int route = config.displays; route < routeWindows.size(); ++route) {
        if (routeWindows[route] && routeWindows[route]->isVisible()) {
            setStatus(QStringLiteral("Close this display output before removing it."));
            return false;
        }
    }
    return true;
}

void MainWindow::removeLastRoute()
{
    if (routes.isEmpty())
        return;
    const qsizetype last = routes.size() - 1;
    if (last < routeWindows.size() && routeWindows[last])
        delete routeWindows[last].data();
    if (last < routeWindows.size())
        routeWindows.removeLast();
    if (last < routeOpenedProgram.size())
        routeOpenedProgram.removeLast();
    if (last < routeDecks.size())
        routeDecks.removeLast();
    delete routes.takeLast().row.data();
}

void MainWindow::appendRoutePanel()
{
    const int index = int(routes.size());
    RouteWidgets route;
    route.row = new QFrame(this);
    route.row->setObjectName(QStringLiteral("panel"));
    auto *layout = new QVBoxLayout(route.row);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(10);
    auto *top = new QHBoxLayout;
    top->setSpacing(10);
    route.number = new QLabel(QStringLiteral("%1").arg(index + 1, 2, 10, QLatin1Char('0')), route.row);
    route.number->setObjectName(QStringLiteral("routeNumber"));
    top->addWidget(route.number, 0, Qt::AlignBottom);
    const auto section = [this, top](const QString &title, QComboBox *combo, int minimumWidth, int stretch) {
        auto *column = new QVBoxLayout;
        column->addWidget(makeLabel(title, QStringLiteral("eyebrow")));
        combo->setMinimumWidth(minimumWidth);
        combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        column->addWidget(combo);
        top->addLayout(column, stretch);
    };
    route.source = new QComboBox(route.row);
    for (int p = 0; p < programCount; ++p)
        route.source->addItem(programName(p));
    section(QStringLiteral("SOURCE"), route.source, 100, 1);
    top->addWidget(new QLabel(QStringLiteral("→"), route.row), 0, Qt::AlignBottom);
    route.display = new QComboBox(route.row);
    route.display->addItem(uiText(QStringLiteral("Floating test window")), QStringLiteral("floating"));
    section(QStringLiteral("DISPLAY"), route.display, 130, 2);
    route.scaling = new QComboBox(route.row);
    route.scaling->addItem(uiText(QStringLiteral("Native · performance")), QStringLiteral("native"));
    route.scaling->addItem(uiText(QStringLiteral("Lanczos · experimental (CPU)")), QStringLiteral("lanczos"));
    route.scaling->addItem(uiText(QStringLiteral("Lanczos · GPU (SDR)")), QStringLiteral("gpu"));
    const QString scalerKey = QStringLiteral("outputScaler%1").arg(index);
    route.scaling->setCurrentIndex(std::max(0, route.scaling->findData(settings->value(scalerKey, QStringLiteral("native")).toString())));
    section(QStringLiteral("SCALING"), route.scaling, 130, 1);
    QPushButton *open = button(QStringLiteral("Open output"));
    QPushButton *close = button(QStringLiteral("Close output"));
    top->addWidget(open, 0, Qt::AlignBottom);
    top->addWidget(close, 0, Qt::AlignBottom);
    layout->addLayout(top);
    routes.append(route);
    routeWindows.append(QPointer<OutputWindow>());
    routeOpenedProgram.append(-1);
    routeDecks.append(QPointer<NativeChannel>());
    appendRouteArea(layout, index);
    routes[index].scalingInfo = new QLabel(route.row);
    routes[index].scalingInfo->setObjectName(QStringLiteral("muted"));
    layout->addWidget(routes[index].scalingInfo);

    connect(route.scaling, &QComboBox::currentIndexChanged, this, [this, scalerKey, combo = route.scaling] {
        if (!sampleContent)
            settings->setValue(scalerKey, combo->currentData().toString());
    });
    for (QComboBox *choice : {route.source.data(), route.display.data()})
        connect(choice, &QComboBox::currentIndexChanged, this, [this] {
            if (!sampleContent)
                modified = true;
            tick();
        });
    connect(open, &QPushButton::clicked, this, [this, index] { openDisplayOutput(index); });
    connect(close, &QPushButton::clicked, this, [this, index] {
        if (index < routeWindows.size() && routeWindows[index])
            routeWindows[index]->close();
        tick();
    });
    if (routeRowsLayout)
        routeRowsLayout->insertWidget(routeRowsLayout->count() - 1, route.row);
    refreshDisplayChoices();
}

const QList<MainWindow::AreaPreset> &MainWindow::areaPresets()
{
    static const QList<AreaPreset> presets{
        {QStringLiteral("Full frame"), QRectF(0, 0, 1, 1)},
        {QStringLiteral("Left half"), QRectF(0, 0, 0.5, 1)},
        {QStringLiteral("Right half"), QRectF(0.5, 0, 0.5, 1)},
        {QStringLiteral("Top half"), QRectF(0, 0, 1, 0.5)},
        {QStringLiteral("Bottom half"), QRectF(0, 0.5, 1, 0.5)},
        {QStringLiteral("Left third"), QRectF(0, 0, 1.0 / 3.0, 1)},
        {QStringLiteral("Center third"), QRectF(1.0 / 3.0, 0, 1.0 / 3.0, 1)},
        {QStringLiteral("Right third"), QRectF(2.0 / 3.0, 0, 1.0 / 3.0, 1)},
        {QStringLiteral("Top-left quarter"), QRectF(0, 0, 0.5, 0.5)},
        {QStringLiteral("Top-right quarter"), QRectF(0.5, 0, 0.5, 0.5)},
        {QStringLiteral("Bottom-left quarter"), QRectF(0, 0.5, 0.5, 0.5)},
        {QStringLiteral("Bottom-right quarter"), QRectF(0.5, 0.5, 0.5, 0.5)}};
    return presets;
}

// The AREA row reads its two keys leniently: a region that is not four parts falls back to the
// whole picture, each part is clamped to its box, and the area index is clamped to the items.
void MainWindow::appendRouteArea(QBoxLayout *panelLayout, int route)
{
    auto *row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(makeLabel(QStringLiteral("AREA"), QStringLiteral("eyebrow")));
    auto *area = new QComboBox(routes[route].row);
    area->setObjectName(QStringLiteral("routeArea"));
    const QString tip = QStringLiteral("Area of the video shown on this screen (LED wall split across PCs). X, Y, width and "
                                       "height in % of the video.");
    area->setProperty("tipKey", tip);
    area->setToolTip(uiText(tip));
    for (const AreaPreset &preset : areaPresets())
        area->addItem(uiText(preset.name));
    area->addItem(uiText(QStringLiteral("Custom area")));
    row->addWidget(area, 1);
    const QStringList parts = settings->value(QStringLiteral("outputRegion%1").arg(route), QStringLiteral("0,0,100,100"))
                                  .toString()
                                  .split(QLatin1Char(','));
    const double fallback[4] = {0, 0, 100, 100};
    const char *prefixes[4] = {"X ", "Y ", "W ", "H "};
    for (int field = 0; field < 4; ++field) {
        auto *box = new QDoubleSpinBox(routes[route].row);
        box->setRange(field < 2 ? 0 : 1, field < 2 ? 99 : 100);
        box->setDecimals(2);
        box->setSuffix(QStringLiteral(" %"));
        box->setPrefix(QString::fromLatin1(prefixes[field]));
        box->setLocale(QLocale(language == QStringLiteral("pt-BR") ? QStringLiteral("pt_BR") : QStringLiteral("en_US")));
        box->setValue(parts.size() == 4 ? parts[field].trimmed().toDouble() : fallback[field]);
        row->addWidget(box);
        routes[route].areaBoxes[field] = box;
    }
    const int stored = settings->value(QStringLiteral("outputArea%1").arg(route), 0).toInt();
    area->setCurrentIndex(std::clamp(stored, 0, 12));
    routes[route].area = area;
    panelLayout->addLayout(row);
    applyRouteArea(route);
    connect(area, &QComboBox::currentIndexChanged, this, [this, route] { applyRouteArea(route); });
    for (QDoubleSpinBox *box : routes[route].areaBoxes)
        connect(box, &QDoubleSpinBox::valueChanged, this, [this, route] { applyRouteArea(route); });
}

void MainWindow::applyRouteArea(int route)
{
    QComboBox *area = routeArea(route);
    if (!area)
        return;
    const bool custom = area->currentIndex() == 12;
    QStringList values;
    for (QDoubleSpinBox *box : routes[route].areaBoxes) {
        box->setVisible(custom);
        values << QString::number(box->value(), 'g', 6);
    }
    if (!sampleContent) {
        settings->setValue(QStringLiteral("outputArea%1").arg(route), area->currentIndex());
        settings->setValue(QStringLiteral("outputRegion%1").arg(route), values.join(QLatin1Char(',')));
    }
    if (OutputWindow *window = routeWindow(route))
        window->setArea(routeRegion(route));
}

QComboBox *MainWindow::routeArea(int route) const
{
    return route >= 0 && route < routes.size() ? routes[route].area.data() : nullptr;
}

QDoubleSpinBox *MainWindow::routeAreaBox(int route, int field) const
{
    return route >= 0 && route < routes.size() && field >= 0 && field < 4 ? routes[route].areaBoxes[field].data() : nullptr;
}

QLabel *MainWindow::routeScalingLine(int route) const
{
    return route >= 0 && route < routes.size() ? routes[route].scalingInfo.data() : nullptr;
}

QScreen *MainWindow::routeScreen(int route) const
{
    QComboBox *display = routeDisplay(route);
    if (!display)
        return nullptr;
    const QString chosen = display->currentData().toString();
    for (QScreen *screen : QGuiApplication::screens())
        if (screenIdentity(screen) == chosen)
            return screen;
    return nullptr;
}

// The window itself clips the rectangle to the picture and ignores one too small to show.
QRectF MainWindow::routeRegion(int route) const
{
    QComboBox *area = routeArea(route);
    if (!area || route >= routeCount)
        return QRectF(0, 0, 1, 1);
    if (area->currentIndex() >= 0 && area->currentIndex() < areaPresets().size())
        return areaPresets()[area->currentIndex()].rect;
    const auto value = [this, route](int field) { return routes[route].areaBoxes[field]->value() / 100.0; };
    return QRectF(value(0), value(1), value(2), value(3));
}

void MainWindow::refreshDisplayChoices()
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    for (const RouteWidgets &route : std::as_const(routes)) {
        if (!route.display)
            continue;
        const QSignalBlocker blocker(route.display);
        const QString kept = route.display->currentData().toString();
        route.display->clear();
        route.display->addItem(uiText(QStringLiteral("Floating test window")), QStringLiteral("floating"));
        for (QScreen *screen : screens) {
            const QSize size = devicePixelSize(screen->geometry().size(), screen->devicePixelRatio());
            route.display->addItem(QStringLiteral("%1 · %2 × %3 · %4 Hz")
                                       .arg(screen->name())
                                       .arg(size.width())
                                       .arg(size.height())
                                       .arg(QString::number(screen->refreshRate(), 'f', 0)),
                                   screenIdentity(screen));
        }
        route.display->setCurrentIndex(std::max(0, route.display->findData(kept)));
    }
    refreshScalingInfo();
}

void MainWindow::watchScreen(QScreen *screen)
{
    connect(screen, &QScreen::geometryChanged, this, [this] { refreshDisplayChoices(); });
    connect(screen, &QScreen::logicalDotsPerInchChanged, this, [this] { refreshDisplayChoices(); });
}

// Source size from the Program's last published frame (or the window's own deck while it is open),
// output size from the open window, else the chosen screen, else the floating window's size.
void MainWindow::refreshScalingInfo()
{
    for (int i = 0; i < routes.size(); ++i) {
        QLabel *info = routes[i].scalingInfo;
        QComboBox *source = routes[i].source;
        if (!info || !source)
            continue;
        QSize sourceSize;
        QSize outputSize(720, 405);
        const int shown = source->currentIndex();
        if (sampleContent)
            sourceSize = i == 2 ? QSize(1920, 1080) : QSize(3840, 2160);
        else if (shown >= 0 && shown < programCount)
            sourceSize = channel(shown)->currentFrame().size();
        const OutputWindow *window = i < routeWindows.size() ? routeWindows[i].data() : nullptr;
        if (window) {
            outputSize = window->physicalSize();
            if (!sampleContent) {
                const NativeChannel *deck = i < routeDecks.size() ? routeDecks[i].data() : nullptr;
                sourceSize = deck ? deck->currentFrame().size() : QSize();
            }
        } else if (QScreen *screen = routeScreen(i)) {
            outputSize = devicePixelSize(screen->geometry().size(), screen->devicePixelRatio());
        }
        QString text = uiText(QStringLiteral("No media loaded"));
        if (!sourceSize.isEmpty()) {
            const QSize fitted = fitSize(sourceSize, outputSize);
            const QString mode = fitted == sourceSize ? QStringLiteral("1:1")
                                 : fitted.width() < sourceSize.width() ? QStringLiteral("Downscale")
                                                                       : QStringLiteral("Upscale");
            text = uiText(QStringLiteral("Source %1 → Output %2 · %3"))
                       .arg(QStringLiteral("%1 × %2").arg(sourceSize.width()).arg(sourceSize.height()),
                            QStringLiteral("%1 × %2").arg(outputSize.width()).arg(outputSize.height()), uiText(mode));
        }
        if (info->text() != text)
            info->setText(text);
    }
}

void MainWindow::fillRouteSources()
{
    for (const RouteWidgets &route : std::as_const(routes)) {
        if (!route.source)
            continue;
        const QSignalBlocker blocker(route.source);
        const int current = route.source->currentIndex();
        route.source->clear();
        for (int p = 0; p < programCount; ++p)
            route.source->addItem(programName(p));
        route.source->setCurrentIndex(std::clamp(current, 0, programCount - 1));
    }
}
