// The EDIT page: the Preview with its precise time, the cue inspector and the cue list of the
// selected Program.
#include "app/MainWindow.h"

#include "app/widgets/DeskMonitor.h"
#include "app/widgets/ElidedLabel.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QVBoxLayout>

QWidget *MainWindow::cueEditorPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    auto *top = new QHBoxLayout;
    top->addWidget(makeLabel(QStringLiteral("Cue editor"), QStringLiteral("heading")), 1);
    QPushButton *back = button(QStringLiteral("Back to MAIN"));
    connect(back, &QPushButton::clicked, this, [this] { showPage(0); });
    top->addWidget(back);
    layout->addLayout(top);
    layout->addWidget(makeLabel(QStringLiteral("Prepare trims and transitions here. Apply changes before returning to MAIN."),
                                QStringLiteral("muted")));

    auto *row = new QHBoxLayout;
    QFrame *preview = deckPanel(QStringLiteral("PREVIEW"), &previewDeck, 0, &editPreviewTitle, &editPreviewTime,
                                QStringLiteral("preview"), false);
    auto *previewLayout = qobject_cast<QVBoxLayout *>(preview->layout());
    previewSlider = new QSlider(Qt::Horizontal, preview);
    previewSlider->setRange(0, 1000);
    connect(previewSlider, &QSlider::sliderMoved, this, [this](int value) {
        if (previewDeck.durationMs() > 0)
            previewDeck.seek(previewDeck.durationMs() * value / 1000);
    });
    previewLayout->addWidget(previewSlider);
    preview->setMinimumHeight(360);
    row->addWidget(preview, 3);

    auto *inspector = new QFrame(page);
    inspector->setObjectName(QStringLiteral("panel"));
    auto *form = new QFormLayout(inspector);
    form->addRow(makeLabel(QStringLiteral("EDITING CUE"), QStringLiteral("eyebrow")));
    cueCombo = new QComboBox(inspector);
    connect(cueCombo, &QComboBox::currentIndexChanged, this, [this](int index) { loadCueEditor(index); });
    form->addRow(makeLabel(QStringLiteral("CUE / IN & OUT")), cueCombo);
    inField = makeSecondsSpinBox(0, 86400);
    outField = makeSecondsSpinBox(-1, 86400);
    inField->setObjectName(QStringLiteral("cueIn"));
    outField->setObjectName(QStringLiteral("cueOut"));
    outField->setSpecialValueText(uiText(QStringLiteral("End of media")));
    form->addRow(makeLabel(QStringLiteral("In")), inField);
    form->addRow(makeLabel(QStringLiteral("Out")), outField);
    QPushButton *markIn = button(QStringLiteral("Mark In"));
    QPushButton *markOut = button(QStringLiteral("Mark Out"));
    connect(markIn, &QPushButton::clicked, this, [this] { markTrim(true); });
    connect(markOut, &QPushButton::clicked, this, [this] { markTrim(false); });
    auto *marks = new QHBoxLayout;
    marks->addWidget(markIn);
    marks->addWidget(markOut);
    form->addRow(marks);
    transitionCombo = new QComboBox(inspector);
    transitionCombo->addItems({uiText(QStringLiteral("Cut")), uiText(QStringLiteral("Dissolve")),
                               uiText(QStringLiteral("Fade through black"))});
    form->addRow(makeLabel(QStringLiteral("Transition")), transitionCombo);
    transitionField = makeSecondsSpinBox(0, 10);
    fadeInField = makeSecondsSpinBox(0, 10);
    fadeOutField = makeSecondsSpinBox(0, 10);
    form->addRow(makeLabel(QStringLiteral("Duration")), transitionField);
    form->addRow(makeLabel(QStringLiteral("Fade in")), fadeInField);
    form->addRow(makeLabel(QStringLiteral("Fade out")), fadeOutField);
    editorStateLabel = new QLabel(uiText(editorStatus), inspector);
    editorStateLabel->setObjectName(QStringLiteral("muted"));
    editorStateLabel->setWordWrap(true);
    form->addRow(editorStateLabel);
    QPushButton *apply = button(QStringLiteral("Apply cue"), QStringLiteral("take"));
    apply->setMinimumHeight(44);
    connect(apply, &QPushButton::clicked, this, [this] { applyEditedCue(); });
    form->addRow(apply);
    QPushButton *reset = button(QStringLiteral("Reset edits"));
    connect(reset, &QPushButton::clicked, this, [this] { loadCueEditor(editedCueRow); });
    form->addRow(reset);
    // Any change of a box that loading did not make is a draft: the Program cannot be changed
    // until it is applied or reset.
    const auto markDraft = [this] {
        if (loadingCue)
            return;
        editorStatus = QStringLiteral("Unapplied changes");
        editorStateLabel->setText(uiText(editorStatus));
    };
    for (QDoubleSpinBox *box : {inField, outField, transitionField, fadeInField, fadeOutField})
        connect(box, &QDoubleSpinBox::valueChanged, this, markDraft);
    connect(transitionCombo, &QComboBox::currentIndexChanged, this, markDraft);
    row->addWidget(inspector, 2);
    layout->addLayout(row);

    editTable = makePlaylistTable();
    editTable->setParent(page);
    editTable->setMinimumHeight(240);
    connect(editTable, &QTableWidget::cellDoubleClicked, this, [this](int cueRow) { loadCueEditor(cueRow); });
    layout->addWidget(editTable);
    return page;
}
