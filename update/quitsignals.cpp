#include "quitsignals.h"

QuitSignals::QuitSignals(QObject *parent) : QObject(parent) {
    m_valid = catchRequests();
}

QuitSignals::~QuitSignals() {
    // The process goes on without us: the requests end it again as they did before.
    if (m_valid)
        releaseRequests();
}

int QuitSignals::takePending() {
    return m_valid ? nextRequest() : 0;
}

// From the event loop, once a handler has noted a request. A slot may run a wait of its
// own, in which the next request is delivered; each is taken once.
void QuitSignals::deliver() {
    while (const int signal = nextRequest())
        emit received(signal);
}
