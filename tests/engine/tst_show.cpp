#include "engine/Show.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <functional>

namespace {

Cue makeCue(const QString &source, qint64 in, qint64 out, int transition = 0, int transitionMs = 300,
            int enterMs = 0, int exitMs = 0)
{
    Cue cue = Cue::forPath(source);
    cue.in_ms = in;
    cue.out_ms = out;
    cue.transition = transition;
    cue.transition_ms = transitionMs;
    cue.enter_ms = enterMs;
    cue.exit_ms = exitMs;
    return cue;
}

const Cue cueA = makeCue(QStringLiteral("/media/a.mp4"), 500, 1600, 0, 400);
const Cue cueB = makeCue(QStringLiteral("/media/b.mkv"), 200, 1400, 1, 350, 100, 200);
const Cue cueC = makeCue(QStringLiteral("/media/c.mov"), 0, -1, 2, 1000);

QJsonArray displays(const QList<QJsonValue> &programs)
{
    QJsonArray array;
    for (const QJsonValue &program : programs)
        array.append(QJsonObject{{QStringLiteral("program"), program}});
    return array;
}

QJsonObject outputsObject(const QJsonValue &programs, const QJsonArray &displayArray)
{
    return QJsonObject{{QStringLiteral("programs"), programs}, {QStringLiteral("displays"), displayArray}};
}

QJsonObject programObject(const QJsonValue &id, const QJsonValue &name, const QJsonArray &playlist)
{
    return QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("name"), name},
                       {QStringLiteral("playlist"), playlist}};
}

// A valid schema-4 document written by hand: two Programs, three display routes.
QJsonObject validSchema4()
{
    return QJsonObject{
        {QStringLiteral("schema"), 4},
        {QStringLiteral("library"), QJsonArray{"/media/a.mp4", "/media/b.mkv"}},
        {QStringLiteral("folders"), QJsonArray{"/media"}},
        {QStringLiteral("outputs"), outputsObject(2, displays({0, 1, 0}))},
        {QStringLiteral("programs"),
         QJsonArray{programObject(1, "Main", QJsonArray{jsonFromCue(cueA), jsonFromCue(cueB)}),
                    programObject(7, "Side", QJsonArray{jsonFromCue(cueC)})}},
    };
}

// A valid document of an older schema with its one playlist.
QJsonObject validLegacy(int schema)
{
    QJsonObject document{
        {QStringLiteral("schema"), schema},
        {QStringLiteral("library"), QJsonArray{"/media/a.mp4"}},
        {QStringLiteral("folders"), QJsonArray{}},
    };
    if (schema == 1)
        document.insert(QStringLiteral("playlist"), QJsonArray{"/media/a.mp4", "/media/b.mkv"});
    else
        document.insert(QStringLiteral("playlist"), QJsonArray{jsonFromCue(cueA), jsonFromCue(cueB)});
    if (schema == 3)
        document.insert(QStringLiteral("outputs"), outputsObject(2, displays({1})));
    return document;
}

using Edit = std::function<void(QJsonObject &)>;

QJsonObject edited(QJsonObject document, const Edit &edit)
{
    edit(document);
    return document;
}

Edit setKey(const char *key, const QJsonValue &value)
{
    return [key, value](QJsonObject &document) { document.insert(QLatin1String(key), value); };
}

Edit removeKey(const char *key)
{
    return [key](QJsonObject &document) { document.remove(QLatin1String(key)); };
}

Edit setOutputs(const QJsonValue &value)
{
    return setKey("outputs", value);
}

// Changes one member of one Program object of the document.
Edit setProgramMember(int index, const char *key, const QJsonValue &value)
{
    return [index, key, value](QJsonObject &document) {
        QJsonArray programs = document.value(QStringLiteral("programs")).toArray();
        QJsonObject program = programs.at(index).toObject();
        if (value.isUndefined())
            program.remove(QLatin1String(key));
        else
            program.insert(QLatin1String(key), value);
        programs.replace(index, program);
        document.insert(QStringLiteral("programs"), programs);
    };
}

// A show that every rejected read must leave exactly as it is.
Show presetShow()
{
    Show show;
    show.library = {QStringLiteral("/keep/one.mp4")};
    show.folders = {QStringLiteral("/keep")};
    show.playlist = {cueC};
    show.outputs = OutputConfig{3, 2, {2, 1}};
    show.programs = {ShowProgram{1, QStringLiteral("Keep A"), {cueC}},
                     ShowProgram{2, QStringLiteral("Keep B"), {}},
                     ShowProgram{3, QStringLiteral("Keep C"), {cueA}}};
    return show;
}

QJsonObject throughText(const QJsonObject &document)
{
    QJsonParseError error;
    const QJsonDocument parsed = QJsonDocument::fromJson(QJsonDocument(document).toJson(), &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("document does not parse: %s", qPrintable(error.errorString()));
    return parsed.object();
}

} // namespace

class TestShow : public QObject
{
    Q_OBJECT

private slots:
    void rejectsWholeDocument_data()
    {
        QTest::addColumn<QJsonObject>("document");
        const QJsonObject v4 = validSchema4();
        auto row = [](const char *name, const QJsonObject &base, const Edit &edit) {
            QTest::newRow(name) << edited(base, edit);
        };

        row("schema missing", v4, removeKey("schema"));
        row("schema as text", v4, setKey("schema", "4"));
        row("schema 4.5", v4, setKey("schema", 4.5));
        row("schema 0", v4, setKey("schema", 0));
        row("schema 5", v4, setKey("schema", 5));
        row("schema null", v4, setKey("schema", QJsonValue::Null));
        row("library missing", v4, removeKey("library"));
        row("library as text", v4, setKey("library", "/media/a.mp4"));
        row("library element number", v4, setKey("library", QJsonArray{"/media/a.mp4", 3}));
        row("library element null", v4, setKey("library", QJsonArray{QJsonValue::Null}));
        row("folders missing", v4, removeKey("folders"));
        row("folders as object", v4, setKey("folders", QJsonObject{}));
        row("folders element array", v4, setKey("folders", QJsonArray{QJsonArray{}}));

        row("outputs missing", v4, removeKey("outputs"));
        row("outputs null", v4, setOutputs(QJsonValue::Null));
        row("outputs array", v4, setOutputs(QJsonArray{}));
        row("outputs programs missing", v4, setOutputs(QJsonObject{{"displays", displays({0})}}));
        row("outputs programs as text", v4, setOutputs(outputsObject("2", displays({0}))));
        row("outputs programs 1.5", v4, setOutputs(outputsObject(1.5, displays({0}))));
        row("outputs programs 0", v4, setOutputs(outputsObject(0, displays({0}))));
        row("outputs programs 65", v4, setOutputs(outputsObject(65, displays({0}))));
        row("outputs programs huge", v4, setOutputs(outputsObject(1e30, displays({0}))));
        row("outputs displays missing", v4, setOutputs(QJsonObject{{"programs", 2}}));
        row("outputs displays object", v4, setOutputs(QJsonObject{{"programs", 2}, {"displays", QJsonObject{}}}));
        row("outputs no displays", v4, setOutputs(outputsObject(2, QJsonArray{})));
        row("outputs 129 displays", v4, setOutputs(outputsObject(2, displays(QList<QJsonValue>(129, 0)))));
        row("display not an object", v4, setOutputs(outputsObject(2, QJsonArray{0})));
        row("display program missing", v4, setOutputs(outputsObject(2, QJsonArray{QJsonObject{}})));
        row("display program 0.5", v4, setOutputs(outputsObject(2, displays({0.5}))));
        row("display program as text", v4, setOutputs(outputsObject(2, displays({"0"}))));
        row("display program equals count", v4, setOutputs(outputsObject(2, displays({0, 2}))));
        row("display program -1", v4, setOutputs(outputsObject(2, displays({-1}))));

        row("programs missing", v4, removeKey("programs"));
        row("programs as object", v4, setKey("programs", QJsonObject{}));
        row("more programs than outputs", v4, setOutputs(outputsObject(1, displays({0}))));
        row("fewer programs than outputs", v4, setOutputs(outputsObject(3, displays({0}))));
        row("program not an object", v4, setKey("programs", QJsonArray{programObject(1, "A", {}), 2}));
        row("duplicate ids", v4, setProgramMember(1, "id", 1));
        row("first id not 1", v4, [](QJsonObject &d) {
            setProgramMember(0, "id", 2)(d);
            setProgramMember(1, "id", 1)(d);
        });
        row("id 0", v4, setProgramMember(1, "id", 0));
        row("id 1000001", v4, setProgramMember(1, "id", 1000001));
        row("id 2.5", v4, setProgramMember(1, "id", 2.5));
        row("id as text", v4, setProgramMember(1, "id", "2"));
        row("id missing", v4, setProgramMember(1, "id", QJsonValue::Undefined));
        row("name only spaces", v4, setProgramMember(1, "name", "   \t "));
        row("name empty", v4, setProgramMember(1, "name", ""));
        row("name of 121", v4, setProgramMember(1, "name", QString(121, u'n')));
        row("name number", v4, setProgramMember(1, "name", 2));
        row("name missing", v4, setProgramMember(1, "name", QJsonValue::Undefined));
        row("playlist missing", v4, setProgramMember(1, "playlist", QJsonValue::Undefined));
        row("playlist as object", v4, setProgramMember(1, "playlist", QJsonObject{}));
        row("playlist with a path string", v4, setProgramMember(1, "playlist", QJsonArray{"/media/a.mp4"}));
        row("one bad cue in the last program", v4, [](QJsonObject &d) {
            QJsonObject bad = jsonFromCue(cueA);
            bad.insert(QStringLiteral("out_ms"), 400);
            setProgramMember(1, "playlist", QJsonArray{jsonFromCue(cueC), bad})(d);
        });

        const QJsonObject v3 = validLegacy(3);
        row("schema 3 outputs missing", v3, removeKey("outputs"));
        row("schema 3 outputs null", v3, setOutputs(QJsonValue::Null));
        row("schema 3 playlist missing", v3, removeKey("playlist"));
        row("schema 3 playlist of paths", v3, setKey("playlist", QJsonArray{"/media/a.mp4"}));
        row("schema 3 library element number", v3, setKey("library", QJsonArray{1}));
        const QJsonObject v2 = validLegacy(2);
        row("schema 2 playlist of paths", v2, setKey("playlist", QJsonArray{"/media/a.mp4"}));
        row("schema 2 playlist as object", v2, setKey("playlist", jsonFromCue(cueA)));
        row("schema 2 fractional in", v2, setKey("playlist", QJsonArray{edited(jsonFromCue(cueA), setKey("in_ms", 0.25))}));
        const QJsonObject v1 = validLegacy(1);
        row("schema 1 playlist of cue objects", v1, setKey("playlist", QJsonArray{jsonFromCue(cueA)}));
        row("schema 1 empty path", v1, setKey("playlist", QJsonArray{"/media/a.mp4", ""}));
        row("schema 1 playlist missing", v1, removeKey("playlist"));
    }

    void rejectsWholeDocument()
    {
        QFETCH(QJsonObject, document);
        Show target = presetShow();
        QVERIFY(!readShow(document, target));
        QCOMPARE(target, presetShow());
    }

    void validDocumentsAreRead()
    {
        // Guards the rejection table: every base document it edits is itself accepted.
        for (const QJsonObject &document : {validSchema4(), validLegacy(1), validLegacy(2), validLegacy(3)}) {
            Show target;
            QVERIFY2(readShow(document, target), QJsonDocument(document).toJson().constData());
        }
    }

    void readsSchema4()
    {
        Show target = presetShow();
        QVERIFY(readShow(validSchema4(), target));
        QCOMPARE(target.library, QStringList({"/media/a.mp4", "/media/b.mkv"}));
        QCOMPARE(target.folders, QStringList({"/media"}));
        QCOMPARE(target.outputs, (OutputConfig{2, 3, {0, 1, 0}}));
        QCOMPARE(target.programs.size(), 2);
        QCOMPARE(target.programs[0], (ShowProgram{1, "Main", {cueA, cueB}}));
        QCOMPARE(target.programs[1], (ShowProgram{7, "Side", {cueC}}));
        QCOMPARE(target.playlist, QList<Cue>({cueA, cueB}));
    }

    void acceptsBoundaryValues_data()
    {
        QTest::addColumn<QJsonObject>("document");
        QTest::addColumn<int>("secondId");
        QTest::addColumn<QString>("secondName");
        const QJsonObject v4 = validSchema4();
        const QString name120(120, u'x');
        QTest::newRow("schema 4.0") << edited(v4, setKey("schema", 4.0)) << 7 << "Side";
        QTest::newRow("id 1000000") << edited(v4, setProgramMember(1, "id", 1000000)) << 1000000 << "Side";
        QTest::newRow("name of 120") << edited(v4, setProgramMember(1, "name", name120)) << 7 << name120;
        QTest::newRow("name kept untrimmed") << edited(v4, setProgramMember(1, "name", " Side ")) << 7 << " Side ";
        QTest::newRow("unknown keys ignored")
            << edited(edited(v4, setKey("comment", "x")), setProgramMember(1, "colour", "red")) << 7 << "Side";
    }

    void acceptsBoundaryValues()
    {
        QFETCH(QJsonObject, document);
        QFETCH(int, secondId);
        QFETCH(QString, secondName);
        Show target;
        QVERIFY(readShow(document, target));
        QCOMPARE(target.programs.size(), 2);
        QCOMPARE(target.programs[1].id, secondId);
        QCOMPARE(target.programs[1].name, secondName);
    }

    void schema4IgnoresTopLevelPlaylist()
    {
        const QJsonObject document = edited(validSchema4(), setKey("playlist", QJsonArray{jsonFromCue(cueC), 5}));
        Show target;
        QVERIFY(readShow(document, target));
        QCOMPARE(target.playlist, QList<Cue>({cueA, cueB}));
    }

    void keepsEmptyAndDuplicateStrings()
    {
        const QJsonObject document = edited(edited(validSchema4(), setKey("library", QJsonArray{"/m/a.mp4", "", "/m/a.mp4"})),
                                            setKey("folders", QJsonArray{"", ""}));
        Show target;
        QVERIFY(readShow(document, target));
        QCOMPARE(target.library, QStringList({"/m/a.mp4", "", "/m/a.mp4"}));
        QCOMPARE(target.folders, QStringList({"", ""}));
    }

    void readsOutputsAtTheirLimits()
    {
        OutputConfig outputs;
        QVERIFY(readOutputs(outputsObject(64, displays(QList<QJsonValue>(128, 63))), outputs));
        QCOMPARE(outputs.programs, 64);
        QCOMPARE(outputs.displays, 128);
        QCOMPARE(outputs.displayPrograms, QList<int>(128, 63));

        const OutputConfig before = outputs;
        QVERIFY(!readOutputs(outputsObject(64, displays({0, 64})), outputs));
        QVERIFY(!readOutputs(QJsonValue(3), outputs));
        QCOMPARE(outputs, before);
    }

    void migratesSchema1()
    {
        QJsonObject document = validLegacy(1);
        document.insert(QStringLiteral("playlist"), QJsonArray{"/media/a.mp4", "/media/a.mp4"});
        Show target = presetShow();
        QVERIFY(readShow(document, target));
        const QList<Cue> expected{Cue::forPath("/media/a.mp4"), Cue::forPath("/media/a.mp4")};
        QCOMPARE(target.playlist, expected);
        QCOMPARE(target.outputs, OutputConfig());
        QCOMPARE(target.programs, QList<ShowProgram>({ShowProgram{1, "Program A", expected}}));
        QCOMPARE(target.library, QStringList({"/media/a.mp4"}));
        QVERIFY(target.folders.isEmpty());
    }

    void migratesSchema2WithoutOutputs()
    {
        // Schema 2 predates the output layout: an outputs member there is not read at all.
        const QJsonObject document = edited(validLegacy(2), setOutputs(outputsObject(3, displays({2}))));
        Show target = presetShow();
        QVERIFY(readShow(document, target));
        QCOMPARE(target.outputs, OutputConfig());
        QCOMPARE(target.programs, QList<ShowProgram>({ShowProgram{1, "Program A", {cueA, cueB}}}));
        QCOMPARE(target.playlist, QList<Cue>({cueA, cueB}));
    }

    void migratesSchema3ToOneCopyPerProgram()
    {
        const QJsonObject document = edited(validLegacy(3), setOutputs(outputsObject(3, displays({2}))));
        Show target;
        QVERIFY(readShow(document, target));
        QCOMPARE(target.outputs, (OutputConfig{3, 1, {2}}));
        const QList<ShowProgram> expected{ShowProgram{1, "Program A", {cueA, cueB}},
                                          ShowProgram{2, "Program B", {cueA, cueB}},
                                          ShowProgram{3, "Program C", {cueA, cueB}}};
        QCOMPARE(target.programs, expected);

        target.programs[1].playlist[0].in_ms = 600;
        QCOMPARE(target.programs[0].playlist[0].in_ms, 500);
        QCOMPARE(target.programs[2].playlist[0].in_ms, 500);
        QCOMPARE(target.playlist[0].in_ms, 500);
    }

    void migratedShowSavesAsSchema4()
    {
        Show migrated;
        QVERIFY(readShow(validLegacy(3), migrated));
        const QJsonObject saved = throughText(jsonFromShow(migrated));
        QCOMPARE(saved.value("schema"), QJsonValue(4));
        Show reread;
        QVERIFY(readShow(saved, reread));
        QCOMPARE(reread, migrated);
    }

    void roundTripsSchema4()
    {
        Show show;
        show.library = {"/media/a.mp4", "", "/media/a.mp4", "/media/ü é.mkv"};
        show.folders = {"/media", "/other"};
        show.outputs = OutputConfig{3, 4, {2, 0, 1, 2}};
        show.programs = {ShowProgram{1, " Main ", {cueA, cueB}},
                         ShowProgram{1000000, "Big", {}},
                         ShowProgram{5, QString(120, u'z'), {cueC, cueC}}};
        show.playlist = show.programs[0].playlist;

        const QJsonObject document = jsonFromShow(show);
        QCOMPARE(document.keys(), QStringList({"folders", "library", "outputs", "programs", "schema"}));
        QCOMPARE(document.value("outputs").toObject().keys(), QStringList({"displays", "programs"}));
        QCOMPARE(document.value("programs").toArray().at(0).toObject().keys(),
                 QStringList({"id", "name", "playlist"}));

        Show read;
        QVERIFY(readShow(throughText(document), read));
        QCOMPARE(read, show);
    }

    void writesIndentedText()
    {
        const QByteArray text = QJsonDocument(jsonFromShow(presetShow())).toJson(QJsonDocument::Indented);
        QVERIFY(text.startsWith("{\n    \"folders\": [\n        \"/keep\"\n    ],\n    \"library\""));
    }

    void writesEffectivePrograms()
    {
        Show show;
        show.playlist = {cueA};
        show.outputs = OutputConfig{2, 2, {1, 0}};
        const QJsonArray programs = jsonFromShow(show).value("programs").toArray();
        QCOMPARE(programs.size(), 2);
        QCOMPARE(programs.at(1).toObject().value("name"), QJsonValue("Program B"));
        QCOMPARE(programs.at(1).toObject().value("id"), QJsonValue(2));

        Show read;
        QVERIFY(readShow(throughText(jsonFromShow(show)), read));
        QCOMPARE(read.programs, show.effectivePrograms());
        QCOMPARE(read.playlist, show.playlist);
        QCOMPARE(read.outputs, show.outputs);
    }

    void effectiveProgramNames()
    {
        Show show;
        show.playlist = {cueB};
        show.outputs.programs = 28;
        const QList<ShowProgram> programs = show.effectivePrograms();
        QCOMPARE(programs.size(), 28);
        for (int i = 0; i < programs.size(); ++i) {
            QCOMPARE(programs[i].id, i + 1);
            QCOMPARE(programs[i].playlist, show.playlist);
        }
        QCOMPARE(programs[0].name, QStringLiteral("Program A"));
        QCOMPARE(programs[1].name, QStringLiteral("Program B"));
        QCOMPARE(programs[25].name, QStringLiteral("Program Z"));
        QCOMPARE(programs[26].name, QStringLiteral("Program 27"));
        QCOMPARE(programs[27].name, QStringLiteral("Program 28"));
    }

    void effectiveProgramsOfOwnListOrNone()
    {
        Show show = presetShow();
        QCOMPARE(show.effectivePrograms(), show.programs);
        show.programs.clear();
        show.outputs.programs = 0;
        QVERIFY(show.effectivePrograms().isEmpty());
        show.outputs.programs = -3;
        QVERIFY(show.effectivePrograms().isEmpty());
    }

    void defaultShow()
    {
        const Show show;
        QVERIFY(show.programs.isEmpty());
        QCOMPARE(show.outputs.programs, 1);
        QCOMPARE(show.outputs.displays, 1);
        QCOMPARE(show.outputs.displayPrograms, QList<int>({0}));
    }
};

QTEST_GUILESS_MAIN(TestShow)
#include "tst_show.moc"
