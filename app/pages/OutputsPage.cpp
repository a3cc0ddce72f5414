// The Outputs page: display routes, the NDI/OMT panels, and the places of the web monitor and Link
// tabs, whose pages build the window's WebMonitorServer and LinkNode.
#include "app/MainWindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

QWidget *MainWindow::outputsPage()
{
    outputsTabs = new QTabWidget(this);

    auto *displays = new QWidget(outputsTabs);
    auto *displaysLayout = new QVBoxLayout(displays);
    auto *counts = new QHBoxLayout;
    programCountLabel = new QLabel(displays);
    programCountLabel->setObjectName(QStringLiteral("muted"));
    routeCountLabel = new QLabel(displays);
    routeCountLabel->setObjectName(QStringLiteral("muted"));
    counts->addWidget(makeLabel(QStringLiteral("Output routing"), QStringLiteral("heading")));
    counts->addStretch(1);
    counts->addWidget(programCountLabel);
    counts->addWidget(routeCountLabel);
    QPushButton *addRouteButton = button(QStringLiteral("Add output"));
    connect(addRouteButton, &QPushButton::clicked, this, [this] { addRoute(selectedProgramIndex); });
    counts->addWidget(addRouteButton);
    displaysLayout->addLayout(counts);
    displaysLayout->addWidget(makeLabel(QStringLiteral("Share one Program across screens, or send independent content."),
                                        QStringLiteral("muted")));
    auto *rows = new QWidget(displays);
    routeRowsLayout = new QVBoxLayout(rows);
    routeRowsLayout->setContentsMargins(0, 0, 0, 0);
    routeRowsLayout->addStretch(1);
    displaysLayout->addWidget(makeScrollArea(rows), 1);
    outputsTabs->addTab(displays, uiText(QStringLiteral("Displays")));

    auto *digital = new QWidget(outputsTabs);
    digitalPanelsLayout = new QVBoxLayout(digital);
    digitalPanelsLayout->addStretch(1);
    outputsTabs->addTab(makeScrollArea(digital), uiText(QStringLiteral("NDI / OMT")));
    outputsTabs->addTab(new QWidget(outputsTabs), uiText(QStringLiteral("Web monitor")));
    outputsTabs->addTab(new QWidget(outputsTabs), uiText(QStringLiteral("Zelvo Link")));

    appendRoutePanel();
    fillRouteSources();
    return outputsTabs;
}
