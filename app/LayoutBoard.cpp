#include "app/LayoutBoard.h"

#include "app/MainWindow.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace LayoutBoard {

// Capture size "WIDTHxHEIGHT", 3 or 4 digits each, at least 1280 x 800.
std::optional<QSize> captureSize(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{3,4})x([0-9]{3,4})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QSize size(match.captured(1).toInt(), match.captured(2).toInt());
    if (size.width() < 1280 || size.height() < 800)
        return std::nullopt;
    return size;
}

QString captureName(const QCommandLineParser &parser, bool portuguese)
{
    const auto pick = [portuguese](const char *en, const char *pt) {
        return QString::fromLatin1(portuguese ? pt : en);
    };
    if (parser.isSet(QStringLiteral("capture-settings")))
        return pick("15-project-en.png", "16-project-pt-BR.png");
    if (parser.isSet(QStringLiteral("capture-link")))
        return pick("13-link-en.png", "14-link-pt-BR.png");
    if (parser.isSet(QStringLiteral("capture-diagnostics")))
        return pick("11-engine-en.png", "12-engine-pt-BR.png");
    if (parser.isSet(QStringLiteral("capture-digital")))
        return pick("09-network-en.png", "10-network-pt-BR.png");
    const int page = parser.value(QStringLiteral("capture-page")).toInt();
    if (page < 1)
        return pick("01-main-en.png", "04-main-pt-BR.png");
    if (page == 1)
        return pick("05-edit-en.png", "06-edit-pt-BR.png");
    if (page == 2)
        return QStringLiteral("03-library-en.png");
    if (page == 3)
        return QStringLiteral("02-outputs-en.png");
    return pick("07-audio-en.png", "08-audio-pt-BR.png");
}

void applyBoardOptions(MainWindow &window, const QCommandLineParser &parser)
{
    if (!window.isSampleContent())
        return;
    if (parser.isSet(QStringLiteral("board-multi-output"))) {
        window.addProgram(true);
        window.addProgram(true);
        OutputConfig config = window.currentOutputConfig();
        config.displays = 5;
        config.displayPrograms = {0, 0, 1, 2, 0};
        window.applyOutputConfiguration(config, false);
    }
    const int wanted = std::clamp(parser.value(QStringLiteral("board-programs")).toInt(), 1, 64);
    while (window.programTotal() < wanted)
        if (!window.addProgram(true))
            break;
    if (parser.isSet(QStringLiteral("capture-sequential")))
        window.clickSequentialMode();
}

} // namespace LayoutBoard
