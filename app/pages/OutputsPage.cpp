// The Outputs page: the Displays tab with the Program inventory and the display routes, the NDI/OMT
// cards, and the places of the web monitor and Link tabs.
#include "app/MainWindow.h"

#include "app/pages/AudioPanel.h"
#include "app/pages/DigitalPanel.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

QWidget *MainWindow::outputsPage()
{
    outputsTabs = new QTabWidget(this);
    outputsTabs->addTab(makeScrollArea(outputRoutingPage()), uiText(QStringLiteral("Displays")));

    auto *digital = new QWidget(outputsTabs);
    auto *digitalLayout = new QVBoxLayout(digital);
    digitalLayout->setContentsMargins(16, 16, 16, 16);
    digitalLayout->setSpacing(16);
    digitalLayout->addWidget(makeLabel(QStringLiteral("Digital outputs"), QStringLiteral("heading")));
    auto *cards = new QWidget(digital);
    digitalPanelsLayout = new QVBoxLayout(cards);
    digitalPanelsLayout->setContentsMargins(0, 0, 0, 0);
    digitalLayout->addWidget(cards);
    auto *vendor = new QLabel(QStringLiteral("<a href=\"https://ndi.video/\">ndi.video</a> · NDI® is a registered trademark of "
                                             "Vizrt NDI AB."),
                              digital);
    vendor->setTextFormat(Qt::RichText);
    vendor->setOpenExternalLinks(true);
    digitalLayout->addWidget(vendor);
    digitalLayout->addWidget(makeLabel(QStringLiteral("Network output starts only when requested. No remote control service is started."),
                                       QStringLiteral("muted")));
    digitalLayout->addStretch(1);
    outputsTabs->addTab(makeScrollArea(digital), uiText(QStringLiteral("NDI / OMT")));
    outputsTabs->addTab(makeScrollArea(webMonitorPage()), uiText(QStringLiteral("Web monitor")));
    outputsTabs->addTab(makeScrollArea(linkPage()), uiText(QStringLiteral("Zelvo Link")));
    return outputsTabs;
}

QWidget *MainWindow::outputRoutingPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(18, 18, 18, 18);
    layout->setSpacing(16);
    layout->addWidget(makeLabel(QStringLiteral("Output routing"), QStringLiteral("heading")));
    QLabel *intro = makeLabel(QStringLiteral("Programs hold independent playlists. Display routes send a Program to a screen."),
                              QStringLiteral("muted"));
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto *programsPanel = new QFrame(page);
    programsPanel->setObjectName(QStringLiteral("panel"));
    programsPanel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    auto *panelLayout = new QVBoxLayout(programsPanel);
    panelLayout->setContentsMargins(16, 16, 16, 16);
    panelLayout->setSpacing(12);
    auto *counts = new QHBoxLayout;
    programCountLabel = new QLabel(programsPanel);
    counts->addWidget(programCountLabel, 1);
    QPushButton *addProgramButton = button(QStringLiteral("+ Add Program"));
    connect(addProgramButton, &QPushButton::clicked, this, [this] { addProgram(false); });
    removeProgramButton = button(QStringLiteral("Remove selected Program"));
    connect(removeProgramButton, &QPushButton::clicked, this, [this] { removeSelectedProgram(); });
    counts->addWidget(addProgramButton);
    counts->addWidget(removeProgramButton);
    panelLayout->addLayout(counts);

    inventoryTable = new QTableWidget(0, 4, programsPanel);
    inventoryTable->setObjectName(QStringLiteral("programInventory"));
    inventoryTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    inventoryTable->setSelectionMode(QAbstractItemView::SingleSelection);
    inventoryTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    inventoryTable->verticalHeader()->hide();
    inventoryTable->verticalHeader()->setDefaultSectionSize(42);
    inventoryTable->setShowGrid(false);
    inventoryTable->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    inventoryTable->setAlternatingRowColors(true);
    inventoryTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    connect(inventoryTable, &QTableWidget::cellClicked, this, [this](int row) {
        selectProgram(row, false);
        rebuildRouteTable();
    });
    panelLayout->addWidget(inventoryTable);
    QLabel *hint = makeLabel(QStringLiteral("Select a Program to edit its playlist. Add a display route to send it to a screen; "
                                            "nothing opens automatically."),
                             QStringLiteral("muted"));
    hint->setWordWrap(true);
    panelLayout->addWidget(hint);
    layout->addWidget(programsPanel);

    auto *routesRow = new QHBoxLayout;
    routesRow->addWidget(makeLabel(QStringLiteral("Display routes"), QStringLiteral("mediaTitle")), 1);
    addDisplayButton = button(QStringLiteral("+ Add display output"));
    connect(addDisplayButton, &QPushButton::clicked, this, [this] { addRoute(0); });
    removeDisplayButton = button(QStringLiteral("Remove last display output"));
    connect(removeDisplayButton, &QPushButton::clicked, this, [this] {
        OutputConfig config = currentOutputConfig();
        if (config.displays <= 1)
            return;
        config.displays -= 1;
        config.displayPrograms.removeLast();
        applyOutputConfiguration(config, true);
    });
    routesRow->addWidget(addDisplayButton);
    routesRow->addWidget(removeDisplayButton);
    layout->addLayout(routesRow);

    auto *rows = new QWidget(page);
    routeRowsLayout = new QVBoxLayout(rows);
    routeRowsLayout->setContentsMargins(0, 0, 0, 0);
    routeRowsLayout->setSpacing(16);
    routeRowsLayout->addStretch(1);
    layout->addWidget(rows);
    appendRoutePanel();
    fillRouteSources();

    for (const char *note : {"Selected displays open fullscreen at their current resolution. Aspect ratio is preserved.",
                             "Native is recommended for live playback. GPU Lanczos improves SDR scaling; test it on your system.",
                             "Changes apply when opening an output. Escape closes it; Programs keep running.",
                             "Outputs using the same Program share decoded frames. Audio plays once per Program."}) {
        QLabel *label = makeLabel(QString::fromUtf8(note), QStringLiteral("muted"));
        label->setWordWrap(true);
        layout->addWidget(label);
    }
    layout->addStretch(1);
    return page;
}

// The inventory rows are made again only when the Programs changed; the 200 ms tick then only
// rewrites texts that differ.
void MainWindow::rebuildRouteTable()
{
    for (int i = 0; i < routes.size(); ++i)
        if (routes[i].number)
            routes[i].number->setText(QStringLiteral("%1").arg(i + 1, 2, 10, QLatin1Char('0')));
    if (!inventoryTable)
        return;
    const QSignalBlocker blocker(inventoryTable);
    QList<int> ids;
    for (const ShowProgram &program : std::as_const(programs))
        ids << program.id;
    if (ids != inventorySignature) {
        inventoryTable->setRowCount(0);
        inventoryTable->setRowCount(programCount);
        inventorySignature = ids;
        for (int row = 0; row < programCount; ++row) {
            for (int column = 0; column < 3; ++column)
                inventoryTable->setItem(row, column, new QTableWidgetItem);
            QPushButton *add = button(QStringLiteral("+ Add route"), QStringLiteral("addProgramRoute"));
            add->setProperty("programId", ids[row]);
            connect(add, &QPushButton::clicked, this, [this, id = ids[row]] { addRoute(programIndexOfId(id)); });
            inventoryTable->setCellWidget(row, 3, add);
        }
    }
    inventoryTable->setHorizontalHeaderLabels({uiText(QStringLiteral("Program")), uiText(QStringLiteral("Playlist items")),
                                               uiText(QStringLiteral("Configured routes")), uiText(QStringLiteral("Display routes"))});
    QHeaderView *header = inventoryTable->horizontalHeader();
    inventoryTable->setFixedHeight(std::max(header->sizeHint().height(), header->height()) + 42 * std::min(programCount, 5)
                                   + 2 * inventoryTable->frameWidth() + 2);
    const OutputConfig config = currentOutputConfig();
    for (int row = 0; row < programCount && row < inventoryTable->rowCount(); ++row) {
        QStringList shownOn;
        for (int route = 0; route < config.displayPrograms.size(); ++route)
            if (config.displayPrograms[route] == row)
                shownOn << QStringLiteral("%1").arg(route + 1, 2, 10, QLatin1Char('0'));
        const qsizetype items = row == selectedProgramIndex ? playlist.size() : programs[row].playlist.size();
        const QString texts[3] = {programName(row), QString::number(items),
                                  shownOn.isEmpty() ? uiText(QStringLiteral("No display route")) : shownOn.join(QStringLiteral(", "))};
        for (int column = 0; column < 3; ++column) {
            QTableWidgetItem *item = inventoryTable->item(row, column);
            if (item && item->text() != texts[column]) {
                item->setText(texts[column]);
                item->setToolTip(texts[column]);
            }
        }
        if (QWidget *add = inventoryTable->cellWidget(row, 3))
            add->setEnabled(routeCount < 128);
    }
    if (inventoryTable->currentRow() != selectedProgramIndex)
        inventoryTable->selectRow(selectedProgramIndex);
}
