// User-interface self-test, second stretch: the MAIN page's fit in both languages and sizes, byte
// counts, the resource footer and the process sample, the first captures and the fade default.
#include "app/MainWindow.h"
#include "app/UiTestRun.h"
#include "app/pages/DiagnosticsPanel.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QCheckBox>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTableWidget>

namespace {
const QList<QSize> uiTestSizes{QSize(1600, 1000), QSize(1280, 800)};
const QStringList uiTestLanguages{QStringLiteral("en"), QStringLiteral("pt-BR")};

QString pass2(const QString &pattern, const QString &language, const QSize &size)
{
    return pattern.arg(language).arg(size.width());
}

// The button's text fits the contents rectangle the style gives it in its current state.
bool textFits(const QPushButton *button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    option.state &= ~(QStyle::State_On | QStyle::State_Off);
    option.state |= button->isChecked() ? QStyle::State_On : QStyle::State_Off;
    const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    return button->fontMetrics().horizontalAdvance(button->text()) <= contents.width();
}
}

QList<QWidget *> MainWindow::uiTestTakeControls() const
{
    QWidget *strip = cutButton ? cutButton->parentWidget() : nullptr;
    QList<QWidget *> controls{programSelector, findChild<QPushButton *>(QStringLiteral("addProgram")), cutButton,
                              fadeButton, uiTestFadeBox()};
    controls << (strip ? uiTestButton(QStringLiteral("Black"), strip) : nullptr) << loopBox;
    return controls;
}

QSpinBox *MainWindow::uiTestFadeBox() const
{
    QWidget *strip = cutButton ? cutButton->parentWidget() : nullptr;
    return strip ? strip->findChild<QSpinBox *>() : nullptr;
}

QMenu *MainWindow::uiTestMoreMenu() const
{
    for (QMenu *menu : findChildren<QMenu *>())
        for (QAction *action : menu->actions())
            if (action->property("textKey").toString() == QStringLiteral("Duplicate cue"))
                return menu;
    return nullptr;
}

bool MainWindow::uiTestTableHighEnough() const
{
    return playlistTable && playlistTable->viewport()->height() > 69;
}

void MainWindow::uiTestResize(const QString &language, const QSize &size)
{
    uiTestSelectLanguage(language);
    resize(size);
    UiTestRun::pump(80);
}

void MainWindow::uiTestLayout(UiTestRun &run)
{
    QWidget *central = centralWidget();
    for (const QString &language : uiTestLanguages)
        for (const QSize &size : uiTestSizes) {
            uiTestResize(language, size);
            bool fits = size == this->size() && uiTestTableHighEnough();
            for (QWidget *control : {static_cast<QWidget *>(programSelector),
                                     findChild<QWidget *>(QStringLiteral("addProgram")),
                                     static_cast<QWidget *>(cutButton), static_cast<QWidget *>(fadeButton),
                                     static_cast<QWidget *>(uiTestButton(QStringLiteral("Copy A playlist")))})
                fits = fits && UiTestRun::inside(control, central);
            run.record(pass2(QStringLiteral("single_layout_%1_%2"), language, size), fits);
        }

    uiTestSelectLanguage(QStringLiteral("en"));
    run.record(QStringLiteral("binary_memory_is_converted_to_decimal_mb"),
               mediaSizeText(99614720.0) == QStringLiteral("99.6 MB"));
    run.record(QStringLiteral("decimal_memory_switches_at_one_billion_bytes"),
               mediaSizeText(999000000.0) == QStringLiteral("999.0 MB")
                   && mediaSizeText(1000000000.0) == QStringLiteral("1.00 GB"));
    run.record(QStringLiteral("decimal_gigabytes_keep_fractional_usage"),
               mediaSizeText(1500000000.0) == QStringLiteral("1.50 GB"));
    run.record(QStringLiteral("unknown_or_negative_memory_is_not_reported_as_zero"),
               mediaSizeText(QJsonValue()) == QStringLiteral("—") && mediaSizeText(-1) == QStringLiteral("—")
                   && mediaSizeText(0) == QStringLiteral("0 MB"));
    uiTestSelectLanguage(QStringLiteral("pt-BR"));
    run.record(QStringLiteral("memory_units_follow_portuguese_decimal_separator"),
               mediaSizeText(99614720.0) == QStringLiteral("99,6 MB")
                   && mediaSizeText(1500000000.0) == QStringLiteral("1,50 GB"));

    for (const QString &language : uiTestLanguages)
        for (const QSize &size : uiTestSizes)
            uiTestLayoutPass(run, language, size);

    uiTestUsage(run);

    resize(1600, 1000);
    uiTestSelectLanguage(QStringLiteral("en"));
    UiTestRun::pump(80);
    captureBoard(run.output(QStringLiteral("single-"), QStringLiteral(".png")));
    showDiagnosticsTab();
    UiTestRun::pump(80);
    const bool reportSaved = uiTestSaveDiagnostics(run.output(QStringLiteral("single-engine-"), QStringLiteral(".json")));
    captureBoard(run.output(QStringLiteral("single-engine-"), QStringLiteral(".png")));
    showPage(0);
    UiTestRun::pump(30);
    QSpinBox *fade = uiTestFadeBox();
    QWidget *editPage = pageStack->widget(1);
    run.record(QStringLiteral("manual_fade_defaults_to_300_and_edit_is_separate"),
               reportSaved && fade && fade->value() == 300 && inField && editPage && editPage->isAncestorOf(inField)
                   && !inField->isVisible());
}

void MainWindow::uiTestLayoutPass(UiTestRun &run, const QString &language, const QSize &size)
{
    QWidget *central = centralWidget();
    uiTestResize(language, size);
    const int width = sequentialButton->width();
    sequentialButton->click();
    UiTestRun::pump(60);
    run.record(pass2(QStringLiteral("selected_mode_text_fits_%1_%2"), language, size),
               sequentialButton->isChecked() && sequentialButton->width() == width && textFits(manualButton)
                   && textFits(sequentialButton));

    manualButton->click();
    UiTestRun::pump(30);
    const int top = programSelector->mapTo(this, QPoint(0, 0)).y();
    bool aligned = true;
    for (QWidget *control : uiTestTakeControls())
        aligned = aligned && control && control->mapTo(this, QPoint(0, 0)).y() == top && control->height() == 40;
    run.record(pass2(QStringLiteral("take_controls_share_top_and_height_%1_%2"), language, size), aligned);

    QMenu *more = uiTestMoreMenu();
    const QList<QAction *> actions = more ? more->actions() : QList<QAction *>();
    run.record(pass2(QStringLiteral("minimal_footer_fits_%1_%2"), language, size),
               UiTestRun::inside(processUsageLabel, central) && actions.size() == 2
                   && actions[0]->text() == uiText(QStringLiteral("Duplicate cue"))
                   && actions[1]->text() == uiText(QStringLiteral("Remove cue")));

    const QJsonObject saved = latestUsage;
    latestUsage = QJsonObject{{QStringLiteral("sampled_unix_ms"), double(QDateTime::currentMSecsSinceEpoch())},
                              {QStringLiteral("cpu_percent"), 100},
                              {QStringLiteral("working_set_bytes"), 1.28e11},
                              {QStringLiteral("gpu_percent"), 100},
                              {QStringLiteral("gpu_memory_bytes"), 3.2e10}};
    refreshResourceText();
    if (processUsageLabel && processUsageLabel->parentWidget() && processUsageLabel->parentWidget()->layout())
        processUsageLabel->parentWidget()->layout()->activate();
    bool footer = false;
    if (processUsageLabel) {
        const QString text = processUsageLabel->text();
        footer = processUsageLabel->fontMetrics().horizontalAdvance(text) <= processUsageLabel->contentsRect().width()
                 && UiTestRun::inside(processUsageLabel, central) && !text.contains(QStringLiteral("MiB"))
                 && !text.contains(QStringLiteral("Mix")) && text.contains(uiText(QStringLiteral("Composition")));
    }
    latestUsage = saved;
    refreshResourceText();
    run.record(pass2(QStringLiteral("footer_fits_large_mb_gb_and_composition_%1_%2"), language, size), footer);
}

void MainWindow::uiTestUsage(UiTestRun &run)
{
    const bool sampled = UiTestRun::waitUntil(
        [this] {
            const QJsonObject sample = processUsageJson();
            return sample.value(QStringLiteral("cpu_percent")).isDouble()
                   && sample.value(QStringLiteral("working_set_bytes")).toDouble() > 0;
        },
        12000);
    const QJsonObject sample = processUsageJson();
    const double cpu = sample.value(QStringLiteral("cpu_percent")).toDouble(-1);
    run.record(QStringLiteral("footer_uses_real_process_cpu_and_working_set"),
               sampled && cpu >= 0 && cpu <= 100
                   && sample.value(QStringLiteral("pid")).toInteger(-1) == QCoreApplication::applicationPid()
                   && sample.value(QStringLiteral("stale")).isBool() && !sample.value(QStringLiteral("stale")).toBool());

    const QJsonValue gpu = sample.value(QStringLiteral("gpu_percent"));
    run.record(QStringLiteral("gpu_counter_is_observed_or_explicitly_unavailable"),
               sampled
                   && (gpu.isNull()
                       || (gpu.isDouble() && gpu.toDouble() >= 0 && gpu.toDouble() <= 100
                           && !sample.value(QStringLiteral("gpu_engine")).toString().isEmpty())));

    const QJsonValue memory = sample.value(QStringLiteral("gpu_memory_bytes"));
    const QJsonValue complete = sample.value(QStringLiteral("gpu_memory_complete"));
    bool memoryOk = false;
    if (memory.isNull()) {
        memoryOk = complete.isBool() && !complete.toBool();
    } else if (memory.isDouble()) {
        const QJsonArray adapters = sample.value(QStringLiteral("gpu_memory_adapters")).toArray();
        double sum = 0;
        memoryOk = !adapters.isEmpty() && complete.toBool() && memory.toDouble() >= 0;
        for (const QJsonValue &adapter : adapters) {
            const QJsonObject a = adapter.toObject();
            memoryOk = memoryOk && a.value(QStringLiteral("available")).toBool()
                       && a.value(QStringLiteral("local_bytes")).isDouble()
                       && a.value(QStringLiteral("nonlocal_bytes")).isDouble();
            sum += a.value(QStringLiteral("local_bytes")).toDouble() + a.value(QStringLiteral("nonlocal_bytes")).toDouble();
        }
        memoryOk = memoryOk && sum == memory.toDouble();
    }
    run.record(QStringLiteral("gpu_memory_has_complete_adapter_byte_counts_or_is_unavailable"), sampled && memoryOk);

    const QJsonObject saved = latestUsage;
    latestUsage = QJsonObject{{QStringLiteral("sampled_unix_ms"), 0},
                              {QStringLiteral("cpu_percent"), 90},
                              {QStringLiteral("working_set_bytes"), 1000},
                              {QStringLiteral("gpu_percent"), 75}};
    refreshResourceText();
    const QJsonObject stale = processUsageJson();
    run.record(QStringLiteral("stale_resource_samples_show_unavailable_instead_of_zero_or_old_values"),
               stale.value(QStringLiteral("cpu_percent")).isNull()
                   && stale.value(QStringLiteral("working_set_bytes")).isNull()
                   && stale.value(QStringLiteral("gpu_percent")).isNull()
                   && stale.value(QStringLiteral("gpu_memory_bytes")).isNull()
                   && stale.value(QStringLiteral("gpu_memory_complete")).isBool()
                   && !stale.value(QStringLiteral("gpu_memory_complete")).toBool() && processUsageLabel
                   && processUsageLabel->text().startsWith(QStringLiteral("CPU —   RAM —   GPU —")));

    latestUsage = QJsonObject{{QStringLiteral("sampled_unix_ms"), double(QDateTime::currentMSecsSinceEpoch())},
                              {QStringLiteral("cpu_percent"), 12.5},
                              {QStringLiteral("working_set_bytes"), 1.5e9},
                              {QStringLiteral("gpu_percent"), 75},
                              {QStringLiteral("gpu_memory_bytes"), 2.5e9}};
    uiTestSelectLanguage(QStringLiteral("en"));
    refreshResourceText();
    const QString text = processUsageLabel ? processUsageLabel->text() : QString();
    run.record(QStringLiteral("gpu_activity_and_gpu_memory_are_independent_readings"),
               text.contains(QStringLiteral("RAM 1.50 GB")) && text.contains(QStringLiteral("GPU 75.0% / 2.50 GB")));
    latestUsage = saved;
    refreshResourceText();
}

bool MainWindow::uiTestSaveDiagnostics(const QString &path)
{
    return diagnostics && diagnostics->saveReport(path);
}
