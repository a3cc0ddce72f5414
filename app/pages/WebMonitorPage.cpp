// The Web monitor tab of the Outputs page: it makes the window's one WebMonitorServer, fed by the
// window's Program list, and gives the operator the access mode, port, app-default quality, the
// access code, start and stop, and a status line with the viewer URLs. The server never starts by
// itself; only Start runs it.
#include "app/MainWindow.h"

#include "web/WebMonitorServer.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const char *const qualityKeys[] = {"Automatic (as the source, up to 1080p)", "720p", "1080p",
                                   "4K (2160p) — needs a recent graphics card"};

QVBoxLayout *column(QHBoxLayout *row, QLabel *title, QWidget *field, int stretch)
{
    auto *layout = new QVBoxLayout;
    layout->setSpacing(6);
    layout->addWidget(title);
    layout->addWidget(field);
    row->addLayout(layout, stretch);
    return layout;
}

} // namespace

QWidget *MainWindow::webMonitorPage()
{
    webMonitor.reset();
    webMonitor = std::make_unique<WebMonitorServer>([this] { return webPrograms(); },
                                                    [this](int id) { return channelForProgramId(id); }, nullptr);

    webAccessCode = settings->value(QStringLiteral("webMonitorCode")).toString();
    if (webAccessCode.size() < 6) {
        webAccessCode = WebMonitorServer::generateCode();
        if (!sampleContent)
            settings->setValue(QStringLiteral("webMonitorCode"), webAccessCode);
    }

    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(14);
    layout->addWidget(makeLabel(QStringLiteral("Web monitor"), QStringLiteral("heading")));
    const auto note = [this, layout](const QString &key) {
        QLabel *label = makeLabel(key, QStringLiteral("muted"));
        label->setWordWrap(true);
        layout->addWidget(label);
    };
    note(QStringLiteral("View only. Phones, tablets and computers on the same network open a page and watch the "
                        "Programs live. Nothing in the browser controls playout."));

    auto *panel = new QFrame(page);
    panel->setObjectName(QStringLiteral("panel"));
    auto *panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(16, 16, 16, 16);
    panelLayout->setSpacing(12);

    auto *controls = new QHBoxLayout;
    controls->setSpacing(10);
    webAccessCombo = new QComboBox(panel);
    webAccessCombo->setObjectName(QStringLiteral("webAccess"));
    webAccessCombo->addItem(uiText(QStringLiteral("Local network (LAN)")), true);
    webAccessCombo->addItem(uiText(QStringLiteral("This computer only")), false);
    webAccessCombo->setCurrentIndex(settings->value(QStringLiteral("webMonitorLan"), true).toBool() ? 0 : 1);
    column(controls, makeLabel(QStringLiteral("ACCESS"), QStringLiteral("eyebrow")), webAccessCombo, 2);

    webPortBox = new QSpinBox(panel);
    webPortBox->setObjectName(QStringLiteral("webPort"));
    webPortBox->setRange(1024, 65535);
    webPortBox->setValue(std::clamp(settings->value(QStringLiteral("webMonitorPort"), 8787).toInt(), 1024, 65535));
    column(controls, makeLabel(QStringLiteral("PORT"), QStringLiteral("eyebrow")), webPortBox, 1);

    webQualityCombo = new QComboBox(panel);
    webQualityCombo->setObjectName(QStringLiteral("webQuality"));
    for (int i = 0; i < 4; ++i) {
        const QString key = QString::fromUtf8(qualityKeys[i]);
        webQualityCombo->addItem(i == 1 || i == 2 ? key : uiText(key), i);
    }
    webQualityCombo->setCurrentIndex(
        std::max(0, webQualityCombo->findData(settings->value(QStringLiteral("webMonitorQuality"), 0).toInt())));
    column(controls, makeLabel(QStringLiteral("QUALITY"), QStringLiteral("eyebrow")), webQualityCombo, 2);

    webStartButton = button(QStringLiteral("Start web monitor"), QStringLiteral("webStart"));
    webStopButton = button(QStringLiteral("Stop web monitor"), QStringLiteral("webStop"));
    controls->addWidget(webStartButton, 0, Qt::AlignBottom);
    controls->addWidget(webStopButton, 0, Qt::AlignBottom);
    panelLayout->addLayout(controls);

    webStatusLabel = new QLabel(panel);
    webStatusLabel->setObjectName(QStringLiteral("muted"));
    webStatusLabel->setWordWrap(true);
    panelLayout->addWidget(webStatusLabel);

    auto *codeRow = new QHBoxLayout;
    codeRow->setSpacing(10);
    codeRow->addWidget(makeLabel(QStringLiteral("ACCESS CODE"), QStringLiteral("eyebrow")));
    webCodeLabel = new QLabel(panel);
    webCodeLabel->setObjectName(QStringLiteral("timecode"));
    webCodeLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    codeRow->addWidget(webCodeLabel);
    codeRow->addStretch(1);
    webNewCodeButton = button(QStringLiteral("New code"));
    webOpenButton = button(QStringLiteral("Open in browser"));
    codeRow->addWidget(webNewCodeButton);
    codeRow->addWidget(webOpenButton);
    panelLayout->addLayout(codeRow);

    webUrlLabel = new QLabel(panel);
    webUrlLabel->setObjectName(QStringLiteral("webUrls"));
    webUrlLabel->setTextFormat(Qt::RichText);
    webUrlLabel->setTextInteractionFlags(Qt::TextBrowserInteraction);
    webUrlLabel->setOpenExternalLinks(true);
    webUrlLabel->setWordWrap(true);
    panelLayout->addWidget(webUrlLabel);
    layout->addWidget(panel);

    note(QStringLiteral("Changing the code disconnects everyone watching."));
    note(QStringLiteral("The firewall may ask to allow network access the first time. Video uses UDP ports 50200–50399."));
    note(QStringLiteral("Each watched Program uses one H.264 encoder, shared by all its viewers: the graphics card's "
                        "encoder when available, otherwise software encoding (x264). Quality changes apply live."));
    layout->addStretch(1);

    *webMonitor->appQuality = std::clamp(webQualityCombo->currentData().toInt(), 0, 3);

    connect(webStartButton, &QPushButton::clicked, this, [this] { startWebMonitor(); });
    connect(webStopButton, &QPushButton::clicked, this, [this] {
        if (webMonitor)
            webMonitor->stop();
    });
    connect(webNewCodeButton, &QPushButton::clicked, this, [this] {
        webAccessCode = WebMonitorServer::generateCode();
        if (!sampleContent)
            settings->setValue(QStringLiteral("webMonitorCode"), webAccessCode);
        if (webMonitor && webMonitor->isRunning())
            webMonitor->setAccessCode(webAccessCode);
        refreshWebMonitorStatus();
    });
    connect(webOpenButton, &QPushButton::clicked, this, [this] {
        const QStringList urls = webMonitor ? webMonitor->urls() : QStringList();
        if (!urls.isEmpty())
            QDesktopServices::openUrl(QUrl(urls.last()));
    });
    connect(webAccessCombo, &QComboBox::currentIndexChanged, this, [this] {
        if (!sampleContent)
            settings->setValue(QStringLiteral("webMonitorLan"), webAccessCombo->currentData().toBool());
    });
    connect(webPortBox, &QSpinBox::valueChanged, this, [this](int port) {
        if (!sampleContent)
            settings->setValue(QStringLiteral("webMonitorPort"), port);
    });
    connect(webQualityCombo, &QComboBox::currentIndexChanged, this, [this] {
        const int quality = webQualityCombo->currentData().toInt();
        if (!sampleContent)
            settings->setValue(QStringLiteral("webMonitorQuality"), quality);
        if (webMonitor)
            *webMonitor->appQuality = std::clamp(quality, 0, 3);
        refreshWebMonitorStatus();
    });
    connect(webMonitor.get(), &WebMonitorServer::changed, this, [this] { refreshWebMonitorStatus(); });

    // Viewer counts and encoder lines change without a signal; poll them while the server runs.
    auto *poll = new QTimer(page);
    poll->setInterval(1000);
    connect(poll, &QTimer::timeout, this, [this] {
        if (webMonitor && webMonitor->isRunning())
            refreshWebMonitorStatus();
    });
    poll->start();

    refreshWebMonitorStatus();
    return page;
}

bool MainWindow::startWebMonitor()
{
    if (sampleContent) {
        setStatus(QStringLiteral("Layout preview — sample content"));
        return false;
    }
    if (!webMonitor || !webPortBox || !webAccessCombo)
        return false;
    const bool started = webMonitor->start(quint16(webPortBox->value()), webAccessCombo->currentData().toBool(),
                                           webAccessCode);
    if (!started)
        setStatusRaw(uiText(QStringLiteral("Web monitor could not start")) + QStringLiteral(": ")
                     + webMonitor->lastError());
    refreshWebMonitorStatus();
    return started;
}

void MainWindow::refreshWebMonitorStatus()
{
    if (!webMonitor || !webStatusLabel)
        return;
    const bool running = webMonitor->isRunning();
    for (QWidget *control : {static_cast<QWidget *>(webAccessCombo), static_cast<QWidget *>(webPortBox),
                             static_cast<QWidget *>(webStartButton)})
        if (control)
            control->setEnabled(!running);
    for (QPushButton *control : {webStopButton.data(), webOpenButton.data()})
        if (control)
            control->setEnabled(running);
    // Combo items are not among the remembered texts; the refresh keeps them in the language shown.
    if (webAccessCombo && webAccessCombo->count() == 2) {
        webAccessCombo->setItemText(0, uiText(QStringLiteral("Local network (LAN)")));
        webAccessCombo->setItemText(1, uiText(QStringLiteral("This computer only")));
    }
    for (int i = 0; webQualityCombo && i < webQualityCombo->count() && i < 4; ++i)
        if (i == 0 || i == 3)
            webQualityCombo->setItemText(i, uiText(QString::fromUtf8(qualityKeys[i])));
    if (webCodeLabel)
        webCodeLabel->setText(webAccessCode);

    QStringList lines;
    const QJsonArray streams = webMonitor->statusJson().value(QStringLiteral("streams")).toArray();
    for (const QJsonValue &value : streams) {
        const QJsonObject stream = value.toObject();
        if (stream.value(QStringLiteral("width")).toInt() <= 0)
            continue;
        const QString line = QStringLiteral("%1×%2 · %3")
                                 .arg(stream.value(QStringLiteral("width")).toInt())
                                 .arg(stream.value(QStringLiteral("height")).toInt())
                                 .arg(uiText(stream.value(QStringLiteral("hardware")).toBool()
                                                 ? QStringLiteral("graphics card")
                                                 : QStringLiteral("software")));
        if (!lines.contains(line))
            lines << line;
    }
    QString status;
    if (running) {
        status = uiText(QStringLiteral("Running · %1 watching · %2 encoders"))
                     .arg(webMonitor->viewerCount())
                     .arg(streams.size());
        if (!lines.isEmpty())
            status += QStringLiteral(" · ") + lines.join(QStringLiteral(", "));
    } else if (webMonitor->lastError().isEmpty()) {
        status = uiText(QStringLiteral("Stopped. Nothing is listening on the network."));
    } else {
        status = uiText(QStringLiteral("Web monitor could not start")) + QStringLiteral(": ") + webMonitor->lastError();
    }
    webStatusLabel->setText(status);

    QStringList links;
    for (const QString &url : webMonitor->urls())
        links << QStringLiteral("<a style='color:#64d3e6' href='%1'>%1</a>").arg(url.toHtmlEscaped());
    if (webUrlLabel)
        webUrlLabel->setText(links.join(QStringLiteral("<br>")));
}
