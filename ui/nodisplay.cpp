#include "nodisplay.h"

#include <QList>
#include <QString>
#include <cstdio>
#include <cstdlib>

namespace {

struct Held {
    QtMsgType type;
    QString text;
    QByteArray file, function, category; // the context's strings, which only live for the call
    int line;
};

QtMessageHandler s_previous = nullptr;
QList<Held> *s_held = nullptr;

void holdBack(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    if (type == QtFatalMsg) {
        // Qt cannot go on without a window system: its own words (a plugin that could not be
        // loaded, advice to reinstall) would only mislead, so they are dropped.
        std::fprintf(stderr, "%s\n", NoDisplayGuard::message());
        std::fflush(stderr);
        std::_Exit(1); // nothing of the application exists yet that would need tearing down
    }
    s_held->append({type, text, context.file, context.function, context.category, context.line});
}

} // namespace

NoDisplayGuard::NoDisplayGuard() {
    s_held = new QList<Held>;
    s_previous = qInstallMessageHandler(holdBack);
}

NoDisplayGuard::~NoDisplayGuard() {
    qInstallMessageHandler(s_previous);
    for (const Held &held : std::as_const(*s_held)) {
        const QMessageLogContext context(held.file.constData(), held.line,
                                         held.function.constData(), held.category.constData());
        qt_message_output(held.type, context, held.text);
    }
    delete s_held;
    s_held = nullptr;
}

const char *NoDisplayGuard::message() {
    return "zarvo-update: no display found; zarvo-flash updates an instrument without one "
           "(zarvo-flash --help)";
}
