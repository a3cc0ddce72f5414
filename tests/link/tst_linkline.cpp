// The signed line format: parsing bytes off the wire, writing lines, and what the MAC covers.
#include "link/LinkKeys.h"
#include "link/LinkLine.h"
#include "link/LinkMediaRequest.h"

#include <QtTest>

class TestLinkLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("type");
        QTest::addColumn<quint64>("seq");
        QTest::newRow("good") << QByteArray(R"({"body":{"a":1},"mac":"00","seq":7,"type":"ping"})") << "ping" << quint64(7);
        QTest::newRow("not json") << QByteArray("hello") << "" << quint64(0);
        QTest::newRow("array") << QByteArray("[1,2]") << "" << quint64(0);
        QTest::newRow("seq missing") << QByteArray(R"({"type":"ping"})") << "ping" << quint64(0);
        QTest::newRow("seq text") << QByteArray(R"({"type":"ping","seq":"3"})") << "ping" << quint64(0);
        QTest::newRow("seq negative") << QByteArray(R"({"type":"ping","seq":-3})") << "ping" << quint64(0);
        QTest::newRow("seq fraction") << QByteArray(R"({"type":"ping","seq":2.5})") << "ping" << quint64(0);
        QTest::newRow("seq huge") << QByteArray(R"({"type":"ping","seq":1e300})") << "ping" << quint64(0);
        QTest::newRow("largest exact") << QByteArray(R"({"type":"x","seq":9007199254740992})") << "x"
                                       << quint64(9007199254740992ULL);
    }
    void parse()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, type);
        QFETCH(quint64, seq);
        const LinkLine parsed = LinkLine::parse(line);
        QCOMPARE(parsed.type, type);
        QCOMPARE(parsed.seq, seq);
    }

    void roundTrip()
    {
        LinkLine line;
        line.type = QStringLiteral("status");
        line.seq = 42;
        line.body = {{QStringLiteral("b"), 2}, {QStringLiteral("a"), QStringLiteral("x\ny")}};
        line.mac = "ab";
        const QByteArray text = line.encode();
        QCOMPARE(text, QByteArray(R"({"body":{"a":"x\ny","b":2},"mac":"ab","seq":42,"type":"status"})" "\n"));
        QCOMPARE(text.count('\n'), 1);
        const LinkLine back = LinkLine::parse(text.chopped(1));
        QCOMPARE(back.type, line.type);
        QCOMPARE(back.seq, line.seq);
        QCOMPARE(back.body, line.body);
        QCOMPARE(back.mac, line.mac);
    }

    void signedTextBindsEverything()
    {
        const QByteArray m = "0123456789abcdef0123456789abcdef", c = "fedcba9876543210fedcba9876543210";
        const QJsonObject body{{QStringLiteral("t1"), 5}};
        const QByteArray base = LinkLine::signedText(m, c, LinkLine::ToMaster, 3, QStringLiteral("ping"), body);
        QCOMPARE(base, QByteArray("0123456789abcdef0123456789abcdef|fedcba9876543210fedcba9876543210|to-master|3|ping|{\"t1\":5}"));
        QVERIFY(LinkLine::signedText(m, c, LinkLine::ToClient, 3, QStringLiteral("ping"), body) != base);
        QVERIFY(LinkLine::signedText(m, m, LinkLine::ToMaster, 3, QStringLiteral("ping"), body) != base);
        QVERIFY(LinkLine::signedText(c, c, LinkLine::ToMaster, 3, QStringLiteral("ping"), body) != base);
        QVERIFY(LinkLine::signedText(m, c, LinkLine::ToMaster, 4, QStringLiteral("ping"), body) != base);
        // Whitespace and key order in the received line do not matter: the body is re-serialized.
        const LinkLine spaced = LinkLine::parse(R"({ "type":"ping", "seq":3, "body":{ "t1" : 5 } })");
        QCOMPARE(LinkLine::signedText(m, c, LinkLine::ToMaster, spaced.seq, spaced.type, spaced.body), base);
    }

    void nonces()
    {
        QVERIFY(LinkLine::isNonce("0123456789abcdef0123456789abcdef"));
        QVERIFY(!LinkLine::isNonce("0123456789ABCDEF0123456789abcdef"));
        QVERIFY(!LinkLine::isNonce("0123456789abcdef0123456789abcde"));
        QVERIFY(!LinkLine::isNonce(""));
        QVERIFY(!LinkLine::isNonce("0123456789abcdef0123456789abcdeg"));
    }

    void requestHead_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("proof");
        QTest::newRow("complete") << QByteArray("GET /media/ab HTTP/1.1\r\nX-Zelvo-Link-Proof: p1\r\n\r\n")
                                  << int(LinkMediaRequest::Complete) << QByteArray("GET") << QByteArray("/media/ab") << QByteArray("p1");
        QTest::newRow("header any case, last wins") << QByteArray("GET /x HTTP/1.1\r\nx-zelvo-LINK-proof:a\r\nX-ZELVO-LINK-PROOF:  b \r\n\r\n")
                                                    << int(LinkMediaRequest::Complete) << QByteArray("GET") << QByteArray("/x") << QByteArray("b");
        QTest::newRow("no blank line yet") << QByteArray("GET /media/ab HTTP/1.1\r\n") << int(LinkMediaRequest::Incomplete)
                                           << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("method only") << QByteArray("GET\r\n\r\n") << int(LinkMediaRequest::Complete) << QByteArray("GET")
                                     << QByteArray() << QByteArray();
        QTest::newRow("colon first is no header") << QByteArray("GET /a H\r\n:x-zelvo-link-proof: c\r\n\r\n")
                                                  << int(LinkMediaRequest::Complete) << QByteArray("GET") << QByteArray("/a") << QByteArray();
        QTest::newRow("too large") << QByteArray(16385, 'a') << int(LinkMediaRequest::TooLarge) << QByteArray()
                                   << QByteArray() << QByteArray();
    }
    void requestHead()
    {
        QFETCH(QByteArray, head);
        QFETCH(int, status);
        LinkMediaRequest request;
        QCOMPARE(int(LinkMediaRequest::parse(head, &request)), status);
        if (status != LinkMediaRequest::Complete)
            return;
        QTEST(request.method, "method");
        QTEST(request.path, "path");
        QTEST(request.proof, "proof");
    }
};

QTEST_GUILESS_MAIN(TestLinkLine)
#include "tst_linkline.moc"
