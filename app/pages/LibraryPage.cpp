// The Library page: every media file of the show in one table.
#include "app/MainWindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

QWidget *MainWindow::libraryPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *top = new QHBoxLayout;
    top->addWidget(makeLabel(QStringLiteral("Media library"), QStringLiteral("heading")), 1);
    QPushButton *files = button(QStringLiteral("Add files"));
    QPushButton *folder = button(QStringLiteral("Add folder"));
    connect(files, &QPushButton::clicked, this, [this] { chooseMediaFiles(); });
    connect(folder, &QPushButton::clicked, this, [this] { chooseMediaFolder(); });
    top->addWidget(files);
    top->addWidget(folder);
    layout->addLayout(top);
    layout->addWidget(makeLabel(QStringLiteral("Original files stay in place. No mandatory conversion."), QStringLiteral("muted")));
    libraryTable = makePlaylistTable();
    libraryTable->setParent(page);
    libraryTable->setMinimumHeight(600);
    connect(libraryTable, &QTableWidget::cellDoubleClicked, this, [this](int row) {
        if (row >= 0 && row < library.size())
            addMedia({library[row]}, selectedProgramIndex);
    });
    layout->addWidget(libraryTable, 1);
    return page;
}
