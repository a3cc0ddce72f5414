#include "selftest/TransportShowCases.h"

#include "engine/Show.h"
#include "selftest/SelfTestReport.h"

#include <QDir>
#include <QJsonArray>

namespace {

OutputConfig makeOutputs(int programs, const QList<int> &displayPrograms)
{
    return OutputConfig{programs, int(displayPrograms.size()), displayPrograms};
}

QJsonObject displaysObject(const QJsonValue &programs, const QJsonArray &displays)
{
    return QJsonObject{{QStringLiteral("programs"), programs}, {QStringLiteral("displays"), displays}};
}

QJsonArray displayList(const QList<QJsonValue> &programs)
{
    QJsonArray displays;
    for (const QJsonValue &program : programs)
        displays.append(QJsonObject{{QStringLiteral("program"), program}});
    return displays;
}

// The cases share their media, their shows and the target that every read goes into; the
// target carries over from case to case, as the rejection cases rely on what earlier cases read.
class ShowCases
{
public:
    ShowCases(SelfTestReport &report, const QString &fixtures, const ShowReader &reader)
        : m_report(report), m_read(reader), m_fixturesDir(fixtures)
    {
        const QDir dir(fixtures);
        m_fixture1 = dir.absoluteFilePath(QStringLiteral("01-h264.mp4"));
        m_fixture2 = dir.absoluteFilePath(QStringLiteral("03-h264.mkv"));
        m_cue1 = Cue{m_fixture1, 500, 1600, 0, 400, 0, 0};
        m_cue2 = Cue{m_fixture2, 200, 1400, 1, 350, 100, 200};
        m_cueB = Cue{m_fixture2, 0, -1, 0, 300, 0, 0};
        m_cueC = Cue{m_fixture1, 400, 1400, 0, 300, 0, 0};
        m_base.library = {m_fixture1, m_fixture2};
        m_base.folders = {m_fixturesDir};
        m_base.playlist = {m_cue1, m_cue2};
        m_base.outputs = makeOutputs(1, {0});
    }

    void run()
    {
        record("schema4_roundtrip_preserves_cues_and_single_output", schema4Roundtrip());
        record("schema2_migrates_to_single_program", schema2Migration());
        record("schema3_shared_playlist_migrates_to_independent_copies", schema3Migration());
        record("schema4_preserves_three_lists_and_five_routes", threeProgramRoundtrip());
        record("output_config_rejects_missing_or_fractional_counts_atomically", missingOrFractionalCounts());
        record("output_config_allocation_guards", allocationGuards());
        record("output_config_rejects_disabled_or_fractional_source", disabledOrFractionalSource());
        record("duplicate_program_identity_rejects_atomically", duplicateProgramIdentity());
        record("program_count_mismatch_rejects_atomically", programCountMismatch());
        record("schema1_migration_and_duplicate_files", schema1Migration());
        record("invalid_show_is_atomic", invalidShowIsAtomic());
        record("fractional_and_invalid_range_rejected", fractionalAndInvalidRange());
    }

private:
    void record(const char *name, bool pass) { m_report.recordResult(QLatin1String(name), pass, {}); }

    bool read(const QJsonObject &document) { return m_read(document, m_target); }

    bool targetUnchanged(const QJsonObject &snapshot) const { return jsonFromShow(m_target) == snapshot; }

    QJsonObject legacyDocument(int schema) const
    {
        return QJsonObject{
            {QStringLiteral("schema"), schema},
            {QStringLiteral("library"), QJsonArray{m_fixture1, m_fixture2}},
            {QStringLiteral("folders"), QJsonArray{m_fixturesDir}},
            {QStringLiteral("playlist"), QJsonArray{jsonFromCue(m_cue1), jsonFromCue(m_cue2)}},
        };
    }

    // The base show's document with its outputs replaced must be refused, leaving the target as
    // the snapshot shows it.
    bool rejectsOutputsAtomically(const QJsonValue &outputs)
    {
        QJsonObject document = jsonFromShow(m_base);
        document.insert(QStringLiteral("outputs"), outputs);
        return !read(document) && targetUnchanged(m_snapshot);
    }

    bool rejectsAtomically(const QJsonObject &document, const QJsonObject &snapshot)
    {
        return !read(document) && targetUnchanged(snapshot);
    }

    // The base show's document with one Program object changed by edit.
    QJsonObject withProgramEdited(int index, const std::function<void(QJsonObject &)> &edit) const
    {
        QJsonObject document = jsonFromShow(m_base);
        QJsonArray programs = document.value(QStringLiteral("programs")).toArray();
        QJsonObject program = programs.at(index).toObject();
        edit(program);
        programs.replace(index, program);
        document.insert(QStringLiteral("programs"), programs);
        return document;
    }

    bool schema4Roundtrip()
    {
        if (!read(jsonFromShow(m_base)))
            return false;
        return jsonFromShow(m_target) == jsonFromShow(m_base) && m_target.outputs.programs == 1
               && m_target.outputs.displays == 1;
    }

    bool schema2Migration()
    {
        if (!read(legacyDocument(2)))
            return false;
        return m_target.playlist.size() == 2 && m_target.programs.size() == 1
               && m_target.outputs.programs == 1 && m_target.outputs.displays == 1;
    }

    bool schema3Migration()
    {
        QJsonObject document = legacyDocument(3);
        document.insert(QStringLiteral("outputs"), jsonFromOutputs(makeOutputs(2, {0, 0, 1})));
        if (!read(document) || m_target.programs.size() != 2)
            return false;
        QList<Cue> &first = m_target.programs[0].playlist;
        QList<Cue> &second = m_target.programs[1].playlist;
        if (first.isEmpty() || second.isEmpty())
            return false;
        second[0].in_ms = 600;
        return first.at(0).in_ms == 500 && second.at(0).in_ms == 600;
    }

    bool threeProgramRoundtrip()
    {
        m_base.outputs = makeOutputs(3, {0, 0, 1, 2, 0});
        m_base.programs = {
            ShowProgram{1, QStringLiteral("Program A"), m_base.playlist},
            ShowProgram{2, QStringLiteral("Program B"), {m_cueB}},
            ShowProgram{3, QStringLiteral("Program C"), {m_cueC}},
        };
        if (!read(jsonFromShow(m_base)))
            return false;
        return jsonFromShow(m_target) == jsonFromShow(m_base) && m_target.programs.size() == 3
               && !m_target.programs.at(2).playlist.isEmpty()
               && m_target.programs.at(2).playlist.first().in_ms == 400
               && m_target.programs.at(1).playlist.size() == 1;
    }

    bool missingOrFractionalCounts()
    {
        m_snapshot = jsonFromShow(m_target);
        return rejectsOutputsAtomically(QJsonValue::Null)
               && rejectsOutputsAtomically(displaysObject(1.5, displayList({0})));
    }

    bool allocationGuards()
    {
        QList<QJsonValue> tooManyDisplays(129, QJsonValue(0));
        return rejectsOutputsAtomically(displaysObject(0, displayList({0})))
               && rejectsOutputsAtomically(displaysObject(65, displayList({0})))
               && rejectsOutputsAtomically(displaysObject(1, displayList(tooManyDisplays)));
    }

    bool disabledOrFractionalSource()
    {
        return rejectsOutputsAtomically(displaysObject(1, displayList({1})))
               && rejectsOutputsAtomically(displaysObject(2, displayList({0.5})));
    }

    bool duplicateProgramIdentity()
    {
        const QJsonObject document = withProgramEdited(1, [](QJsonObject &program) {
            program.insert(QStringLiteral("id"), 1);
        });
        return rejectsAtomically(document, m_snapshot);
    }

    bool programCountMismatch()
    {
        QJsonObject document = jsonFromShow(m_base);
        QJsonArray programs = document.value(QStringLiteral("programs")).toArray();
        programs.removeLast();
        document.insert(QStringLiteral("programs"), programs);
        return rejectsAtomically(document, m_snapshot);
    }

    bool schema1Migration()
    {
        const QJsonObject document{
            {QStringLiteral("schema"), 1},
            {QStringLiteral("library"), QJsonArray{m_fixture1}},
            {QStringLiteral("folders"), QJsonArray{}},
            {QStringLiteral("playlist"), QJsonArray{m_fixture1, m_fixture1}},
        };
        if (!read(document))
            return false;
        return m_target.playlist.size() == 2 && m_target.playlist.first().out_ms == -1;
    }

    bool invalidShowIsAtomic()
    {
        const QJsonObject snapshot = jsonFromShow(m_target);
        Cue reversed = m_cue1;
        reversed.out_ms = 400;
        const QJsonObject document = withProgramEdited(2, [&reversed](QJsonObject &program) {
            program.insert(QStringLiteral("playlist"), QJsonArray{jsonFromCue(reversed)});
        });
        return rejectsAtomically(document, snapshot);
    }

    bool fractionalAndInvalidRange()
    {
        QJsonObject fractional = jsonFromCue(m_cue1);
        fractional.insert(QStringLiteral("in_ms"), 0.25);
        Cue cue;
        const bool fractionalRefused = !readCue(fractional, cue, false);
        const Cue reversed{m_fixture1, 2000, 1000, 0, 300, 0, 0};
        return fractionalRefused && !reversed.validate().isEmpty();
    }

    SelfTestReport &m_report;
    ShowReader m_read;
    QString m_fixturesDir;
    QString m_fixture1;
    QString m_fixture2;
    Cue m_cue1, m_cue2, m_cueB, m_cueC;
    Show m_base;
    Show m_target;
    QJsonObject m_snapshot;
};

} // namespace

void runTransportShowCases(SelfTestReport &report, const QString &fixtures)
{
    runTransportShowCases(report, fixtures, readShow);
}

void runTransportShowCases(SelfTestReport &report, const QString &fixtures, const ShowReader &reader)
{
    ShowCases(report, fixtures, reader).run();
}
