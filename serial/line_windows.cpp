// The serial line on Windows, on Qt's serial port. There a port is the program's alone while
// it is open (Qt opens it with no sharing), so no lock files are involved and another
// program's open fails with "access denied" until the close.
#include "line.h"

#include <QLoggingCategory>
#include <QSerialPort>
#include <algorithm>
#include <thread>
#include <windows.h>

Q_DECLARE_LOGGING_CATEGORY(lcSerial)

namespace serial {

namespace {

class WindowsLine : public Line {
public:
    explicit WindowsLine(const QString &device) : m_device(device) {
        // Input that arrives while the open drops what was there is not the caller's.
        connect(&m_port, &QSerialPort::readyRead, this, [this] {
            if (!m_opening)
                emit readyRead();
        });
        connect(&m_port, &QSerialPort::errorOccurred, this, &WindowsLine::onError);
    }
    ~WindowsLine() override { close(); }

    bool open(const LineSettings &settings) override {
        if (isOpen())
            return true;
        clearFailure();
        m_readFailures = 0;
        beginSession();
        m_port.setPortName(m_device);
        m_port.setBaudRate(settings.baud);
        m_port.setDataBits(QSerialPort::Data8);
        m_port.setParity(QSerialPort::NoParity);
        m_port.setStopBits(QSerialPort::OneStop);
        m_port.setFlowControl(
            settings.flow == LineSettings::Flow::Hardware   ? QSerialPort::HardwareControl
            : settings.flow == LineSettings::Flow::Software ? QSerialPort::SoftwareControl
                                                            : QSerialPort::NoFlowControl);
        m_opening = true;
        const bool opened = m_port.open(QIODevice::ReadWrite);
        m_opening = false;
        if (!opened) {
            const QString why = m_port.errorString();
            const QSerialPort::SerialPortError error = m_port.error();
            m_port.clearError();
            switch (error) {
            case QSerialPort::DeviceNotFoundError:
                return fail(LineFault::Missing, QStringLiteral("%1: %2").arg(m_device, why));
            case QSerialPort::PermissionError: // "access denied": another program has it open
            case QSerialPort::OpenError:
                return fail(LineFault::InUse,
                            QStringLiteral("%1 is in use by another program: %2")
                                .arg(m_device, why));
            case QSerialPort::UnsupportedOperationError: // the settings, applied at the open
                return fail(LineFault::Settings, QStringLiteral("The driver refused %1 baud: %2")
                                                     .arg(settings.baud)
                                                     .arg(why));
            default:
                return fail(LineFault::Unusable, QStringLiteral("%1: %2").arg(m_device, why));
            }
        }
        setModemLines(settings.dtr, settings.rts);
        discardWhatWasThere();
        qCDebug(lcSerial).noquote() << "line" << m_device << "open";
        return true;
    }

    void close() override {
        if (!isOpen())
            return;
        endSession();
        qCDebug(lcSerial).noquote() << "line" << m_device << "closed";
        m_opening = true;
        m_port.close();
        m_opening = false;
        m_port.clearError();
    }
    bool isOpen() const override { return m_port.isOpen(); }
    QString name() const override { return m_device; }

    bool setBaudRate(qint32 baud) override {
        if (!isOpen())
            return true;
        drain();
        if (m_port.setBaudRate(baud))
            return true;
        const QString reason = m_port.errorString();
        m_port.clearError();
        return fail(LineFault::Settings,
                    QStringLiteral("The driver refused %1 baud: %2").arg(baud).arg(reason));
    }

    void setModemLines(bool dtr, bool rts) override {
        if (!isOpen())
            return;
        // A refusal (a driver without the lines) leaves nothing to raise; it is not an error
        // of the line.
        m_opening = true;
        m_port.setDataTerminalReady(dtr);
        if (m_port.flowControl() != QSerialPort::HardwareControl)
            m_port.setRequestToSend(rts);
        m_opening = false;
        m_port.clearError();
    }

    bool write(const QByteArray &bytes) override {
        if (!isOpen())
            return fail(LineFault::NotOpen, QStringLiteral("The port is not open"));
        if (m_port.write(bytes) != bytes.size()) {
            const QString reason = m_port.errorString();
            m_port.clearError();
            return fail(LineFault::WriteFailed, QStringLiteral("%1: %2").arg(m_device, reason));
        }
        // Qt only queues; the bytes must be with the driver before the reply is awaited.
        return handedOver() || fail(LineFault::WriteFailed,
                                    QStringLiteral("%1: the line did not take %2 bytes in time")
                                        .arg(m_device)
                                        .arg(bytes.size()));
    }

    // As on Unix, until the driver's own queue is empty, not only Qt's: a speed change
    // must not cut off the end of the frame before it.
    bool drain() override {
        if (!isOpen())
            return true;
        if (!handedOver())
            return false;
        const QDeadlineTimer deadline(lineTime(m_port.baudRate(), driverQueue()));
        while (driverQueue() > 0) {
            if (deadline.hasExpired())
                return false;
            std::this_thread::sleep_for(kDrainPoll);
        }
        return true;
    }

    void purgeOutput() override {
        if (isOpen())
            m_port.clear(QSerialPort::Output);
    }
    void purgeInput() override {
        if (isOpen()) {
            m_port.clear(QSerialPort::Input);
            m_port.readAll(); // what Qt had already read from the driver
        }
    }

    QByteArray read() override {
        if (!isOpen() || lostReported())
            return {};
        QByteArray bytes = m_port.readAll();
        if (!bytes.isEmpty())
            m_readFailures = 0; // only faults in a row count
        return bytes;
    }

private:
    bool awaitInput(const QDeadlineTimer &deadline) override {
        if (lostReported())
            return false;
        return m_port.bytesAvailable() > 0 ||
               m_port.waitForReadyRead(int(std::max<qint64>(0, deadline.remainingTime())));
    }

    // Qt's queue handed to the driver, within the time the bytes take on the wire.
    bool handedOver() {
        const QDeadlineTimer deadline(lineTime(m_port.baudRate(), m_port.bytesToWrite()));
        while (m_port.bytesToWrite() > 0 && !deadline.hasExpired()) {
            if (!m_port.waitForBytesWritten(int(deadline.remainingTime())))
                break;
        }
        return m_port.bytesToWrite() == 0;
    }

    // Bytes the driver still holds for output; 0 when it cannot tell.
    qint64 driverQueue() {
        COMSTAT status{};
        DWORD errors = 0;
        if (!::ClearCommError(m_port.handle(), &errors, &status))
            return 0;
        return qint64(status.cbOutQue);
    }

    // A port that has just been opened holds nothing of what came before: the late reply
    // to an update that was cancelled or killed would otherwise be read as the answer to
    // the next one's first frame.
    void discardWhatWasThere() {
        m_opening = true;
        m_port.clear(QSerialPort::Input);
        qint64 dropped = m_port.readAll().size();
        const QDeadlineTimer limit(kOpenDiscardLimit);
        for (;;) {
            const qint64 wait = std::min<qint64>(kOpenQuiet.count(), limit.remainingTime());
            if (wait <= 0 || !m_port.waitForReadyRead(int(wait)))
                break;
            dropped += m_port.readAll().size();
        }
        m_port.clearError(); // the wait's timeout is no fault
        m_opening = false;
        if (dropped > 0)
            qCDebug(lcSerial).noquote() << "dropped" << dropped << "bytes that arrived at the open";
    }

    // A device that went away reports a resource error; single read errors may pass.
    void onError(QSerialPort::SerialPortError error) {
        if (m_opening || lostReported() || error == QSerialPort::NoError ||
            error == QSerialPort::TimeoutError)
            return;
        const bool gone = error == QSerialPort::ResourceError ||
                          (error == QSerialPort::ReadError &&
                           ++m_readFailures >= kReadFailuresTolerated);
        const QString reason = m_port.errorString();
        m_port.clearError();
        if (gone)
            reportLost(QStringLiteral("%1 is no longer available: %2").arg(m_device, reason));
    }

    QSerialPort m_port;
    QString m_device;
    bool m_opening = false; // errors met while opening, closing or setting are the caller's
    int m_readFailures = 0;
};

} // namespace

std::unique_ptr<Line> makeSerialLine(const QString &device) {
    return std::make_unique<WindowsLine>(device);
}

} // namespace serial
