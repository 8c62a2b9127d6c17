// Points XDG_RUNTIME_DIR at a private temporary directory for the life of the object, so
// that a test's instance lock and sockets are its own, whatever else runs on this machine.
#pragma once

#include <QByteArray>
#include <QTemporaryDir>
#include <QtGlobal>

class RuntimeSandbox {
public:
    RuntimeSandbox()
        : m_hadValue(qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")),
          m_oldValue(qgetenv("XDG_RUNTIME_DIR")) {
        qputenv("XDG_RUNTIME_DIR", m_dir.path().toLocal8Bit());
    }
    ~RuntimeSandbox() {
        if (m_hadValue)
            qputenv("XDG_RUNTIME_DIR", m_oldValue);
        else
            qunsetenv("XDG_RUNTIME_DIR");
    }
    RuntimeSandbox(const RuntimeSandbox &) = delete;
    RuntimeSandbox &operator=(const RuntimeSandbox &) = delete;
    bool isValid() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir; // 0700, as the runtime directory must be
    bool m_hadValue;
    QByteArray m_oldValue;
};
