#include "app/MainWindow.h"

#include "outputs/display/OutputWindow.h"

#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
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
    delete routes.takeLast().row.data();
}

void MainWindow::appendRoutePanel()
{
    const int index = int(routes.size());
    RouteWidgets route;
    route.row = new QFrame(this);
    route.row->setObjectName(QStringLiteral("panel"));
    auto *layout = new QGridLayout(route.row);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setHorizontalSpacing(10);
    route.number = new QLabel(QStringLiteral("%1").arg(index + 1, 2, 10, QLatin1Char('0')), route.row);
    route.number->setObjectName(QStringLiteral("routeNumber"));
    layout->addWidget(route.number, 0, 0, 3, 1);
    layout->addWidget(makeLabel(QStringLiteral("SOURCE"), QStringLiteral("eyebrow")), 0, 1);
    layout->addWidget(makeLabel(QStringLiteral("DISPLAY"), QStringLiteral("eyebrow")), 0, 2);
    layout->addWidget(makeLabel(QStringLiteral("SCALING"), QStringLiteral("eyebrow")), 0, 3);
    route.source = new QComboBox(route.row);
    route.display = new QComboBox(route.row);
    route.display->addItem(uiText(QStringLiteral("Floating test window")), QStringLiteral("floating"));
    route.scaling = new QComboBox(route.row);
    route.scaling->addItem(uiText(QStringLiteral("Native · performance")), QStringLiteral("native"));
    route.scaling->addItem(uiText(QStringLiteral("Lanczos · experimental (CPU)")), QStringLiteral("lanczos"));
    route.scaling->addItem(uiText(QStringLiteral("Lanczos · GPU (SDR)")), QStringLiteral("gpu"));
    const QString scalerKey = QStringLiteral("outputScaler%1").arg(index);
    const int stored = route.scaling->findData(settings->value(scalerKey, QStringLiteral("native")).toString());
    route.scaling->setCurrentIndex(std::max(0, stored));
    connect(route.scaling, &QComboBox::currentIndexChanged, this, [this, scalerKey, combo = route.scaling] {
        if (!sampleContent)
            settings->setValue(scalerKey, combo->currentData().toString());
        tick();
    });
    connect(route.source, &QComboBox::currentIndexChanged, this, [this] { tick(); });
    layout->addWidget(route.source, 1, 1);
    layout->addWidget(route.display, 1, 2);
    layout->addWidget(route.scaling, 1, 3);
    QPushButton *open = button(QStringLiteral("Open output"));
    QPushButton *close = button(QStringLiteral("Close output"));
    connect(open, &QPushButton::clicked, this, [this, row = QPointer<QFrame>(route.row)] {
        for (int i = 0; i < routes.size(); ++i)
            if (routes[i].row == row)
                openDisplayOutput(i);
    });
    connect(close, &QPushButton::clicked, this, [this, row = QPointer<QFrame>(route.row)] {
        for (int i = 0; i < routes.size(); ++i)
            if (routes[i].row == row && routeWindows[i])
                routeWindows[i]->close();
    });
    layout->addWidget(open, 1, 4);
    layout->addWidget(close, 1, 5);
    route.scalingInfo = new QLabel(route.row);
    route.scalingInfo->setObjectName(QStringLiteral("muted"));
    layout->addWidget(route.scalingInfo, 2, 1, 1, 5);
    layout->setColumnStretch(1, 2);
    layout->setColumnStretch(2, 2);
    layout->setColumnStretch(3, 2);
    if (routeRowsLayout)
        routeRowsLayout->insertWidget(routeRowsLayout->count() - 1, route.row);
    routes.append(route);
    routeWindows.append(QPointer<OutputWindow>());
    routeOpenedProgram.append(-1);
    refreshDisplayChoices();
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

// The area editor of a route belongs to the Outputs page; until it stores a region the route
// shows the full frame.
QRectF MainWindow::routeRegion(int route) const
{
    const QRectF full(0, 0, 1, 1);
    if (route < 0 || route >= routeCount)
        return full;
    const QStringList parts = settings->value(QStringLiteral("outputRegion%1").arg(route)).toString().split(QLatin1Char(','));
    if (parts.size() != 4)
        return full;
    QList<double> values;
    for (const QString &part : parts) {
        bool ok = false;
        const double value = part.toDouble(&ok);
        if (!ok || !std::isfinite(value))
            return full;
        values << value / 100.0;
    }
    const QRectF region(values[0], values[1], values[2], values[3]);
    if (region.width() <= 0 || region.height() <= 0 || region.left() < 0 || region.top() < 0
        || region.right() > 1.0001 || region.bottom() > 1.0001)
        return full;
    return region;
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
            const QSize size = screen->geometry().size();
            route.display->addItem(QStringLiteral("%1 · %2 × %3").arg(screen->name()).arg(size.width()).arg(size.height()),
                                   screenIdentity(screen));
        }
        route.display->setCurrentIndex(std::max(0, route.display->findData(kept)));
    }
}

void MainWindow::watchScreen(QScreen *screen)
{
    connect(screen, &QScreen::geometryChanged, this, [this] { refreshDisplayChoices(); });
    connect(screen, &QScreen::logicalDotsPerInchChanged, this, [this] { refreshDisplayChoices(); });
}

// The route rows carry their own widgets; the refresh only renumbers them after a removal.
void MainWindow::rebuildRouteTable()
{
    for (int i = 0; i < routes.size(); ++i)
        if (routes[i].number)
            routes[i].number->setText(QStringLiteral("%1").arg(i + 1, 2, 10, QLatin1Char('0')));
}

void MainWindow::refreshScalingInfo()
{
    for (int i = 0; i < routes.size(); ++i) {
        QLabel *info = routes[i].scalingInfo;
        if (!info)
            continue;
        const OutputWindow *window = routeWindows[i];
        const QString text = window && window->isVisible()
                                 ? QStringLiteral("%1 × %2").arg(window->physicalSize().width()).arg(window->physicalSize().height())
                                 : QString();
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
