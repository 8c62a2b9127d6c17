#include "jsonreporter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <cstdio>

namespace cli {

namespace {

constexpr qint64 kProgressMs = 250; // a program reading --json wants a few events a second

} // namespace

void JsonReporter::phaseStarted(const char *name, int frames) {
    event("phase", {{QStringLiteral("name"), QString::fromLatin1(name)},
                    {QStringLiteral("frames"), frames}});
}

bool JsonReporter::progress(const Progress &at) {
    if (at.percent < 0 ||
        (!at.began && !at.completed && at.elapsedMs - at.lastShownMs < kProgressMs))
        return false;
    QJsonObject fields{{QStringLiteral("phase"), QString::fromLatin1(at.name)},
                       {QStringLiteral("done"), at.done},
                       {QStringLiteral("frames"), at.frames},
                       {QStringLiteral("percent"), at.percent},
                       {QStringLiteral("elapsed"), at.elapsedMs / 1000.0}};
    if (at.secondsLeft >= 0)
        fields.insert(QStringLiteral("left"), std::round(at.secondsLeft * 10) / 10);
    event("progress", fields);
    return true;
}

void JsonReporter::opened(const QString &rawNote) {
    QJsonObject fields{{QStringLiteral("port"), setup().port},
                       {QStringLiteral("device"), setup().device},
                       {QStringLiteral("baud"), setup().baud.toInt()},
                       {QStringLiteral("remote"), setup().remote}};
    if (!rawNote.isEmpty())
        fields.insert(QStringLiteral("note"), rawNote);
    event("open", fields);
}

void JsonReporter::identified(const QString &device, const QString &installed) {
    event("identified",
          {{QStringLiteral("device"), device},
           {QStringLiteral("installed"), installed.isEmpty() ? QStringLiteral("none") : installed},
           {QStringLiteral("new"), setup().version}});
}

void JsonReporter::answered(const QString &question, bool yes, const QString &by) {
    event("question", {{QStringLiteral("text"), question},
                       {QStringLiteral("answer"), yes ? "yes" : "no"},
                       {QStringLiteral("by"), by}});
}

void JsonReporter::conclude(const UpdateOutcome &outcome, int status, const char *name) {
    QJsonObject fields{{QStringLiteral("outcome"), QString::fromLatin1(name)},
                       {QStringLiteral("status"), status},
                       {QStringLiteral("port"), setup().port},
                       {QStringLiteral("elapsed"), elapsedMs() / 1000.0}};
    if (!firstMessage().isEmpty())
        fields.insert(QStringLiteral("message"), firstMessage());
    if (!outcome.detail.isEmpty())
        fields.insert(QStringLiteral("detail"), outcome.detail);
    if (!versionAfter().isEmpty())
        fields.insert(QStringLiteral("version"), versionAfter());
    event("result", fields);
}

void JsonReporter::event(const char *name, QJsonObject fields) {
    fields.insert(QStringLiteral("event"), QString::fromLatin1(name));
    const QByteArray text = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace cli
