// User-interface self-test, last stretch: the fade preference, the update guard with a live
// Program, the paused frame kept across the return to one Program, then recovery, saving with a
// ".bak", relinking and packages on real files.
#include "app/ChannelMonitor.h"
#include "app/MainWindow.h"
#include "app/UiTestRun.h"

#include "engine/MediaRelink.h"
#include "engine/ShowFile.h"
#include "engine/ShowPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSettings>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVideoSink>

namespace {
Show readShowFile(const QString &path, bool *ok)
{
    Show show;
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly) && readShow(QJsonDocument::fromJson(file.readAll()).object(), show);
    return show;
}

bool writeByte(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}
}

void MainWindow::uiTestReplaceProgramAPlaylist(const QList<Cue> &cues)
{
    selectProgram(0, true);
    playlist = cues;
    storeSelectedPlaylist();
    refreshPlaylistTable();
}

void MainWindow::uiTestReliability(UiTestRun &run)
{
    if (QSpinBox *fade = uiTestFadeBox())
        fade->setValue(450);
    settings->sync();
    run.record(QStringLiteral("manual_fade_preference_still_persists"),
               settings->value(QStringLiteral("manualFadeMs")).toInt() == 450);

    for (int i = 0; i < programCount; ++i)
        uiTestBlack(i);
    previewDeck.clear();
    programADeck.load(UiTestRun::cueFor(run.clipA), true);
    // The count must come from the clip just loaded, not from the slot's earlier use.
    const bool loaded = UiTestRun::waitUntil(
        [this, &run] { return programADeck.source() == run.clipA && programADeck.frameCount() > 3; }, 10000);
    run.record(QStringLiteral("update_install_guard_blocks_live_program"), loaded && anyProgramPlaying());

    programADeck.togglePlayback();
    const bool paused = UiTestRun::waitUntil([this] { return !programADeck.isPlaying(); }, 10000);
    programADeck.seek(1300);
    UiTestRun::pump(200);
    OutputConfig single;
    const bool reduced = applyOutputConfiguration(single, false);
    UiTestRun::pump(80);
    QWidget *panel = programArea ? programArea->widget(0) : nullptr;
    auto *monitor = panel ? panel->findChild<ChannelMonitor *>() : nullptr;
    const QVideoFrame shown = monitor && monitor->videoSink() ? monitor->videoSink()->videoFrame() : QVideoFrame();
    const QVideoFrame published = programADeck.currentFrame();
    run.record(QStringLiteral("paused_retained_frame_restores_when_returning_to_single_view"),
               loaded && paused && reduced && monitor && shown.isValid() && published.isValid()
                   && shown.startTime() == published.startTime());

    uiTestRecovery(run);
    uiTestRelink(run);
    uiTestPackage(run);

    playlist.clear();
    storeSelectedPlaylist();
    programs[0].playlist.clear();
    library.clear();
    refreshPlaylistTable();
    modified = false;
}

void MainWindow::uiTestRecovery(UiTestRun &run)
{
    uiTestBlack(0);
    clearRecovery();
    selectProgram(0, true);
    modified = true;
    const bool wrote = autosave();
    QFile copy(recoveryShowPath());
    const bool same = copy.open(QIODevice::ReadOnly)
                      && QJsonDocument::fromJson(copy.readAll()).object() == jsonFromShow(currentShow());
    copy.close();
    run.record(QStringLiteral("autosave_writes_recovery_copy_of_unsaved_show"), wrote && same && !autosave());

    const QString path = run.output(QStringLiteral("reliability-"), QStringLiteral(".zelvoshow"));
    const QString bak = path + QStringLiteral(".bak");
    QFile::remove(path);
    QFile::remove(bak);
    showPath = path;
    saveShow(false);
    const bool firstOk = QFile::exists(path) && !QFile::exists(bak) && !QFile::exists(recoveryShowPath()) && !modified;
    playlist.append(UiTestRun::cueFor(run.clipB));
    modified = true;
    saveShow(false);
    run.record(QStringLiteral("saving_keeps_previous_version_as_bak_and_clears_recovery"),
               firstOk && QFile::exists(bak) && !QFile::exists(recoveryShowPath()));

    const qsizetype n = playlist.size();
    playlist.append(UiTestRun::cueFor(run.clipA));
    modified = true;
    const bool saved = autosave();
    playlist.removeLast();
    storeSelectedPlaylist();
    modified = false;
    run.record(QStringLiteral("recovery_restores_unsaved_show_and_keeps_it_dirty"),
               saved && restoreRecovery() && modified && playlist.size() == n + 1 && showPath == path);

    discardRecovery();
    run.record(QStringLiteral("discarded_recovery_is_moved_aside_not_deleted"),
               !QFile::exists(recoveryShowPath())
                   && !QDir(recoveryDir()).entryList({QStringLiteral("discarded-*.zelvoshow")}, QDir::Files).isEmpty());
}

void MainWindow::uiTestRelink(UiTestRun &run)
{
    const QString root = QDir(run.folder).filePath(QStringLiteral("relink-") + run.base);
    QDir(root).removeRecursively();
    const bool made = QDir().mkpath(root + QStringLiteral("/show/sub")) && QDir().mkpath(root + QStringLiteral("/a"))
                      && QDir().mkpath(root + QStringLiteral("/b"))
                      && QFile::copy(run.clipA, root + QStringLiteral("/show/sub/01-h264.mp4"))
                      && writeByte(root + QStringLiteral("/a/dup.mp4")) && writeByte(root + QStringLiteral("/b/dup.mp4"));
    const QString oldClip = QStringLiteral("Z:/old/show/sub/01-h264.mp4");
    const QHash<QString, QString> map = matchMissingMedia(
        {oldClip, QStringLiteral("Z:/old/a/dup.mp4"), QStringLiteral("Z:/other/dup.mp4")}, root);
    const QString mappedClip = QDir::cleanPath(root + QStringLiteral("/show/sub/01-h264.mp4"));
    run.record(QStringLiteral("relink_finds_moved_media_and_disambiguates_by_folder"),
               made && map.value(oldClip) == mappedClip
                   && map.value(QStringLiteral("Z:/old/a/dup.mp4")) == QDir::cleanPath(root + QStringLiteral("/a/dup.mp4"))
                   && !map.contains(QStringLiteral("Z:/other/dup.mp4")));

    uiTestReplaceProgramAPlaylist({UiTestRun::cueFor(oldClip)});
    library.append(oldClip);
    const QStringList missing = missingMedia();
    const int count = applyRelinks(map);
    run.record(QStringLiteral("relink_updates_playlists_library_and_marks_show_dirty"),
               missing.contains(oldClip) && count > 1 && !playlist.isEmpty() && playlist[0].source == mappedClip
                   && library.contains(mappedClip) && !missingMedia().contains(oldClip) && modified);
}

void MainWindow::uiTestPackage(UiTestRun &run)
{
    modified = false;
    clearRecovery();
    const QString root = QDir(run.folder).filePath(QStringLiteral("package-") + run.base);
    QDir(root).removeRecursively();
    const QString first = root + QStringLiteral("/src/a/clip.mp4");
    const QString second = root + QStringLiteral("/src/b/clip.mp4");
    const QString absent = root + QStringLiteral("/src/missing.mov");
    QDir().mkpath(root + QStringLiteral("/src/a"));
    QDir().mkpath(root + QStringLiteral("/src/b"));
    QFile::copy(run.clipA, first);
    QFile::copy(run.clipB, second);
    uiTestReplaceProgramAPlaylist({UiTestRun::cueFor(first), UiTestRun::cueFor(second), UiTestRun::cueFor(absent)});
    // The library holds earlier cases' media too; the package must hold exactly this case's media.
    library = {first};
    const QString packaged = exportPackage(root + QStringLiteral("/Package Show"), QStringLiteral("Package Show"), false);
    bool parsed = false;
    const Show show = readShowFile(packaged, &parsed);
    const QList<Cue> items = parsed ? show.effectivePrograms().value(0).playlist : QList<Cue>();
    const QString media = root + QStringLiteral("/Package Show/media/");
    run.record(QStringLiteral("package_copies_media_with_relative_paths_and_unique_names"),
               parsed && items.size() == 3 && items[0].source == QStringLiteral("media/clip.mp4")
                   && items[1].source == QStringLiteral("media/clip (2).mp4") && items[2].source == absent
                   && QFileInfo(media + QStringLiteral("clip.mp4")).size() == QFileInfo(first).size()
                   && QFileInfo(media + QStringLiteral("clip (2).mp4")).size() == QFileInfo(second).size()
                   && QDir(media).entryList(QDir::Files).size() == 2);

    const bool moved = QDir().rename(root + QStringLiteral("/Package Show"), root + QStringLiteral("/Moved Package"));
    const QString movedShow = root + QStringLiteral("/Moved Package/Package Show.zelvoshow");
    Show resolved = show;
    resolveShowPaths(resolved, movedShow);
    const QList<Cue> found = resolved.effectivePrograms().value(0).playlist;
    run.record(QStringLiteral("moved_package_resolves_media_from_its_new_folder"),
               moved && found.size() == 3 && QFileInfo(found[0].source).isFile() && QFileInfo(found[1].source).isFile()
                   && found[0].source.startsWith(root + QStringLiteral("/Moved Package/media/")));

    Show relative = resolved;
    makeShowPathsRelative(relative, movedShow);
    const QList<Cue> kept = relative.effectivePrograms().value(0).playlist;
    run.record(QStringLiteral("saving_inside_package_keeps_media_relative"),
               kept.size() == 3 && kept[0].source == QStringLiteral("media/clip.mp4") && kept[2].source == absent);
}
