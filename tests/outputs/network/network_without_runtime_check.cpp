// Runs the network self-test with a program that has no NDI or OMT runtime beside it and checks that
// the run goes through and that exactly the cases that need a runtime fail, the loader cases with the
// loaders' own texts. Usage: network_without_runtime_check PROGRAM FIXTURES RESULT STATE_DIR
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTextStream>

namespace {

const QSet<QString> runtimeCases = {
    "private_ndi_runtime_loaded",
    "packaged_omt_runtime_loaded",
    "both_protocols_start_on_one_program",
    "ndi_loopback_receives_native_video_and_audio",
    "omt_loopback_receives_native_video_and_audio",
    "master_mute_reaches_both_network_receivers",
    "master_unmute_restores_both_network_receivers",
    "network_audio_can_be_disabled_independently",
    "independent_program_b_has_its_own_sender",
    "black_reaches_both_network_outputs",
    "ndi_source_frames_and_sdk_delivery_remain_strictly_in_order",
    "omt_video_timestamps_remain_strictly_increasing",
};

const QString ndiMissing = QStringLiteral("NDI runtime not found. Install the official NDI Runtime.");
const QString omtCodecMissing = QStringLiteral("OMT video codec unavailable. Reinstall the OMT libraries.");

QTextStream out(stdout);
QStringList problems;

void expect(bool condition, const QString &problem)
{
    if (!condition)
        problems << problem;
}

QJsonObject caseNamed(const QJsonArray &tests, const QString &name)
{
    for (const QJsonValue &test : tests) {
        if (test.toObject().value("name").toString() == name)
            return test.toObject();
    }
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        out << "usage: network_without_runtime_check PROGRAM FIXTURES RESULT STATE_DIR\n";
        return 2;
    }
    QFile::remove(args[3]);
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(args[1], {"--network-test", "--fixtures", args[2], "--result", args[3], "--state-dir", args[4]});
    if (!program.waitForFinished(-1) || program.exitStatus() != QProcess::NormalExit) {
        out << "the runner did not finish normally\n";
        return 1;
    }
    expect(program.exitCode() == 2, QStringLiteral("exit code %1, expected 2").arg(program.exitCode()));

    QFile file(args[3]);
    if (!file.open(QIODevice::ReadOnly)) {
        out << "no report at " << args[3] << "\n";
        return 1;
    }
    const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonArray tests = report.value("tests").toArray();
    expect(report.value("result").toString() == "FAIL", "result is not FAIL");
    expect(tests.size() == 45, QStringLiteral("%1 cases, expected 45").arg(tests.size()));
    for (const QJsonValue &value : tests) {
        const QJsonObject test = value.toObject();
        const QString name = test.value("name").toString();
        const bool shouldFail = runtimeCases.contains(name);
        expect(test.value("pass").toBool() != shouldFail,
               QStringLiteral("%1 %2").arg(name, shouldFail ? "passed without a runtime" : "failed"));
    }
    for (const QString &name : runtimeCases)
        expect(!caseNamed(tests, name).isEmpty(), QStringLiteral("case %1 missing").arg(name));
    const QString ndiError = caseNamed(tests, "private_ndi_runtime_loaded").value("error").toString();
    const QString omtError = caseNamed(tests, "packaged_omt_runtime_loaded").value("error").toString();
    expect(ndiError == ndiMissing, QStringLiteral("NDI loader error \"%1\"").arg(ndiError));
    expect(omtError == omtCodecMissing, QStringLiteral("OMT loader error \"%1\"").arg(omtError));

    for (const QString &problem : problems)
        out << "FAIL: " << problem << "\n";
    out << (problems.isEmpty() ? "PASS: exactly the runtime cases failed, with the loaders' texts\n" : "");
    return problems.isEmpty() ? 0 : 1;
}
