#include "updater/Updater.h"

#include "updater/ChildProcess.h"
#include "updater/InstallerFile.h"
#include "updater/ParentProcess.h"

#include "update/TrustedFolder.h"

#include <cstdlib>
#include <filesystem>

namespace {

const char msgHandOff[] = "Invalid update handoff. Nothing was installed.";
const char msgInspect[] = "Could not inspect the running application. Nothing was installed.";
const char msgMismatch[] = "The running application does not match this update.";
const char msgVerification[] = "Update file verification failed. Nothing was installed.";
const char msgStillOpen[] = "Close Zelvo Playout before installing the update. Nothing was installed.";
const char msgNoStart[] = "Could not start the verified installer.";
const char msgStillInstalling[] = "Installation is still running. Open Zelvo Playout after it finishes.";
const char msgInstallFailed[] = "The update installer could not finish. Your show files and preferences were kept.";
const char msgNoRelaunch[] = "Update installed. Open Zelvo Playout from its shortcut.";
const char msgUnsafeState[] = "The update state folder can be changed by other users. Nothing was installed.";
const char msgUnsafeDownload[] = "The update download folder can be changed by other users. Nothing was installed.";

const char statusEnglish[] = "Installing Zelvo Playout\u2026\nPlease wait. Your preferences and media are preserved.";
const char statusPortuguese[] = "Instalando Zelvo Playout\u2026\nAguarde. Suas prefer\u00eancias e m\u00eddias ser\u00e3o preservadas.";

constexpr int unsafeFolderCode = 10;
constexpr int applicationWaitMs = 90000;
constexpr int installerWaitMs = 600000;
// "Success, restart required" (3010) reaches a POSIX parent as the low eight bits of the status.
constexpr int installedRestartRequired = 3010 & 0xFF;

// Test seam: shorter waits, so the time-outs can be exercised.
int waitLimit(const char *variable, int fallback)
{
    const char *text = std::getenv(variable);
    const int value = text ? std::atoi(text) : 0;
    return value > 0 ? value : fallback;
}

} // namespace

Updater::Updater(int argc, const char *const *argv) : m_argc(argc), m_argv(argv) {}

void Updater::idle()
{
    if (m_display)
        m_display->pump();
}

int Updater::fail(const std::string &message, int code)
{
    m_log.write("exit " + std::to_string(code) + ": " + message);
    m_display->hideStatus();
    m_display->showError(message);
    return code;
}

int Updater::run()
{
    UpdaterOptions options;
    // A name without its value is a broken command line, not a hand-off worth a message.
    if (!options.parse(m_argc, m_argv))
        return 2;
    m_log.open(options.value("--state-dir"));
    m_display = std::make_unique<StatusDisplay>(options.has("--qa"));
    const std::optional<HandOff> handOff = HandOff::fromOptions(options);
    if (!handOff)
        return fail(msgHandOff, 2);
    // A state folder that does not exist holds nothing to swap; one that others can change is refused.
    if (!handOff->stateDir.empty()
        && TrustedFolder::check(handOff->stateDir) == TrustedFolder::Verdict::Unsafe)
        return fail(msgUnsafeState, unsafeFolderCode);
    m_log.write("hand-off accepted: installer " + handOff->installer + ", parent " + std::to_string(handOff->parentPid));
    return runInstallation(*handOff);
}

int Updater::runInstallation(const HandOff &handOff)
{
    ParentProcess parent;
    const ParentProcess::Inspection inspection = parent.inspect(handOff.parentPid, handOff.restart);
    if (inspection == ParentProcess::Inspection::InspectFailed)
        return fail(msgInspect, 3);
    if (inspection == ParentProcess::Inspection::Mismatch)
        return fail(msgMismatch, 3);

    InstallerFile installer;
    const InstallerFile::Result verified = installer.verifyAndStage(handOff.installer, handOff.sha256, handOff.size);
    if (verified == InstallerFile::Result::Mismatch)
        return fail(msgVerification, 4);
    if (verified == InstallerFile::Result::CopyFailed)
        return fail(msgNoStart, 6);
    if (verified == InstallerFile::Result::UnsafeFolder)
        return fail(msgUnsafeDownload, unsafeFolderCode);
    m_log.write("installer verified");

    const std::string status = handOff.language == "pt-BR" ? statusPortuguese : statusEnglish;
    m_display->showStatus(status);
    if (inspection == ParentProcess::Inspection::Running) {
        m_log.write("waiting for the application to end");
        const ParentProcess::Wait waited = parent.waitForExit(
            waitLimit("ZELVO_UPDATER_APP_WAIT_MS", applicationWaitMs), [this] { idle(); }, m_display->descriptor());
        parent.close();
        // Only an observed exit counts: a wait that failed proves nothing about the application.
        if (waited != ParentProcess::Wait::Ended)
            return fail(msgStillOpen, 5);
    }

    std::vector<std::string> argv{installer.stagedPath(), "/S"};
    if (handOff.portable)
        argv.push_back("/PORTABLE");
    if (handOff.quiet)
        argv.push_back("/QA");
    argv.push_back("/D=" + handOff.target);
    const std::string folder = std::filesystem::path(handOff.installer).parent_path().string();
    const pid_t child = ChildProcess::startFromDescriptor(installer.descriptor(), argv, folder.empty() ? "." : folder);
    if (child < 0)
        return fail(msgNoStart, 6);
    m_log.write("installer started: " + status.substr(0, status.find('\n')));

    int exitCode = -1;
    const ChildProcess::Wait waited = ChildProcess::waitForExit(
        child, waitLimit("ZELVO_UPDATER_INSTALL_WAIT_MS", installerWaitMs), [this] { idle(); }, &exitCode,
        m_display->descriptor());
    installer.remove();
    m_display->hideStatus();
    if (waited != ChildProcess::Wait::Exited)
        return fail(msgStillInstalling, 7);
    m_log.write("installer exit code " + std::to_string(exitCode));
    if (exitCode != 0 && exitCode != installedRestartRequired)
        return fail(msgInstallFailed, 8);
    return relaunch(handOff);
}

int Updater::relaunch(const HandOff &handOff)
{
    if (handOff.noRestart) {
        m_log.write("installed; no restart requested");
        return 0;
    }
    std::vector<std::string> argv{handOff.restart};
    if (!handOff.stateDir.empty())
        argv.insert(argv.end(), {"--state-dir", handOff.stateDir});
    if (handOff.portable)
        argv.push_back("--portable");
    if (!handOff.show.empty())
        argv.insert(argv.end(), {"--show", handOff.show});
    if (!handOff.language.empty())
        argv.insert(argv.end(), {"--lang", handOff.language});
    if (ChildProcess::start(handOff.restart, argv, handOff.target, true) < 0)
        return fail(msgNoRelaunch, 9);
    m_log.write("installed; application started again");
    return 0;
}
