// The Library page: every media file of the show in one table, searchable by file name, with the
// folders scanned into it beside it.
#include "app/MainWindow.h"

#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

QWidget *MainWindow::libraryPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(makeLabel(QStringLiteral("Media library"), QStringLiteral("heading")));
    layout->addWidget(makeLabel(QStringLiteral("Original files stay in place. No mandatory conversion."), QStringLiteral("muted")));

    auto *top = new QHBoxLayout;
    librarySearch = new QLineEdit(page);
    librarySearch->setPlaceholderText(uiText(QStringLiteral("Search media")));
    registerTranslatable(librarySearch, QStringLiteral("Search media"));
    top->addWidget(librarySearch, 1);
    QPushButton *files = button(QStringLiteral("Add files"));
    QPushButton *folder = button(QStringLiteral("Add folder"));
    QPushButton *relink = button(QStringLiteral("Locate missing media"), QStringLiteral("relinkMedia"));
    connect(files, &QPushButton::clicked, this, [this] { chooseMediaFiles(); });
    connect(folder, &QPushButton::clicked, this, [this] { chooseMediaFolder(); });
    connect(relink, &QPushButton::clicked, this, [this] { relinkMedia(); });
    top->addWidget(files);
    top->addWidget(folder);
    top->addWidget(relink);
    layout->addLayout(top);

    auto *row = new QHBoxLayout;
    auto *folders = new QFrame(page);
    folders->setObjectName(QStringLiteral("panel"));
    folders->setFixedWidth(230);
    auto *foldersLayout = new QVBoxLayout(folders);
    foldersLayout->addWidget(makeLabel(QStringLiteral("FOLDERS"), QStringLiteral("eyebrow")));
    libraryFolderList = new QListWidget(folders);
    foldersLayout->addWidget(libraryFolderList, 1);
    row->addWidget(folders);

    libraryTable = makePlaylistTable();
    libraryTable->setParent(page);
    libraryTable->setMinimumHeight(600);
    connect(libraryTable, &QTableWidget::cellDoubleClicked, this, [this](int row) {
        if (sampleContent || row < 0)
            return;
        addMedia({row < library.size() ? library[row] : QString()}, -2);
    });
    // The table and the folders are refilled by the window's table refresh; the search and the
    // folder list follow every refill, once per turn of the event loop however many cells changed.
    auto follow = [this] {
        if (libraryViewPending)
            return;
        libraryViewPending = true;
        QMetaObject::invokeMethod(this, [this] { refreshLibraryView(); }, Qt::QueuedConnection);
    };
    connect(libraryTable->model(), &QAbstractItemModel::rowsInserted, this, follow);
    connect(libraryTable->model(), &QAbstractItemModel::dataChanged, this, follow);
    connect(libraryTable->model(), &QAbstractItemModel::modelReset, this, follow);
    connect(librarySearch, &QLineEdit::textChanged, this, [this] { refreshLibraryView(); });
    row->addWidget(libraryTable, 1);
    layout->addLayout(row, 1);
    return page;
}

// Hides the rows whose file name lacks the search text in any case. Rows are only hidden, so row
// numbers keep matching the library's order for the double-click.
void MainWindow::refreshLibraryView()
{
    libraryViewPending = false;
    if (!libraryTable || !librarySearch)
        return;
    const QString text = librarySearch->text();
    for (int row = 0; row < libraryTable->rowCount(); ++row) {
        const QTableWidgetItem *name = libraryTable->item(row, 1);
        const bool shown = text.isEmpty() || (name && name->text().contains(text, Qt::CaseInsensitive));
        libraryTable->setRowHidden(row, !shown);
    }
    if (!libraryFolderList)
        return;
    libraryFolderList->clear();
    for (const QString &path : std::as_const(libraryFolders)) {
        auto *item = new QListWidgetItem(QFileInfo(QDir::cleanPath(path)).fileName(), libraryFolderList);
        item->setToolTip(path);
    }
}
