#pragma once

#include <QJsonObject>
#include <QString>

#include <functional>

class SelfTestReport;
struct Show;

// The show-document cases of the transport runner: the document writer and reader, the output
// layout rules, migrations of old documents and the Cue ranges. Twelve cases, recorded in order.
void runTransportShowCases(SelfTestReport &report, const QString &fixtures);

// Test seam: the same cases with another show reader in place of readShow, so that a test can
// show which cases catch a faulty reader.
using ShowReader = std::function<bool(const QJsonObject &document, Show &show)>;
void runTransportShowCases(SelfTestReport &report, const QString &fixtures, const ShowReader &reader);
