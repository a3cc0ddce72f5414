#pragma once

#include <QSize>
#include <QString>
#include <optional>

class MainWindow;
class QCommandLineParser;

// The layout-review options of the command line: the sample layouts a board starts with, the size
// a capture is drawn at and the name of the picture it writes. Start-up runs them on the GUI thread
// around the window it has just built.
namespace LayoutBoard {

// "WIDTHxHEIGHT" with 3 or 4 digits each, at least 1280 x 800; nothing for anything else.
std::optional<QSize> captureSize(const QString &text);

// The picture's file name for the page and tab options set, in Portuguese for "pt-BR".
QString captureName(const QCommandLineParser &parser, bool portuguese);

// The sample layouts of --board-multi-output, --board-programs and --capture-sequential; only a
// window in sample content takes them.
void applyBoardOptions(MainWindow &window, const QCommandLineParser &parser);

} // namespace LayoutBoard
