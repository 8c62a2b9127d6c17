// The serial line on Windows, on Qt's serial port: there a port is exclusive to the program
// that opened it, and no lock files are involved.
#include "line.h"

#include <QSerialPort>
#include <thread>

namespace serial {

namespace {

class WindowsLine : public Line {
public:
    explicit WindowsLine(const QString &device) : m_device(device) {
        connect(&m_port, &QSerialPort::readyRead, this, &Line::readyRead);
        connect(&m_port, &QSerialPort::errorOccurred, this, &WindowsLine::onError);
    }
    ~WindowsLine() override { close(); }

    bool open(const LineSettings &settings) override {
        if (isOpen())
            return true;
        clearFailure();
        m_lost = false;
        m_readFailures = 0;
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
            const QString reason = QStringLiteral("%1: %2").arg(m_device, m_port.errorString());
            const QSerialPort::SerialPortError error = m_port.error();
            m_port.clearError();
            switch (error) {
            case QSerialPort::DeviceNotFoundError:
                return fail(LineFault::Missing, reason);
            case QSerialPort::PermissionError: // "access denied": another program has it
                return fail(LineFault::InUse, reason);
            default:
                return fail(LineFault::Unusable, reason);
            }
        }
        setModemLines(settings.dtr, settings.rts);
        // Nothing of an earlier session is read as a reply in this one.
        m_port.clear(QSerialPort::Input);
        m_port.readAll();
        return true;
    }

    void close() override {
        if (!isOpen())
            return;
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
        m_opening = true;
        m_port.setDataTerminalReady(dtr);
        if (m_port.flowControl() != QSerialPort::HardwareControl)
            m_port.setRequestToSend(rts);
        m_opening = false;
        m_port.clearError();
    }

    bool write(const QByteArray &bytes) override {
        if (m_port.write(bytes) != bytes.size()) {
            const QString reason = m_port.errorString();
            m_port.clearError();
            return fail(LineFault::WriteFailed, QStringLiteral("%1: %2").arg(m_device, reason));
        }
        // Qt only queues; the bytes must be with the driver before the reply is awaited.
        return drain() || fail(LineFault::WriteFailed,
                               QStringLiteral("%1: the line did not take %2 bytes in time")
                                   .arg(m_device)
                                   .arg(bytes.size()));
    }

    bool drain() override {
        const QDeadlineTimer deadline(lineTime(m_port.baudRate(), m_port.bytesToWrite()));
        while (m_port.bytesToWrite() > 0 && !deadline.hasExpired()) {
            if (!m_port.waitForBytesWritten(int(deadline.remainingTime())))
                break;
        }
        return m_port.bytesToWrite() == 0;
    }

    void purgeOutput() override { m_port.clear(QSerialPort::Output); }
    void purgeInput() override { m_port.clear(QSerialPort::Input); }

    bool waitForInput(const QDeadlineTimer &deadline) override {
        if (!isOpen()) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(deadline.remainingTimeNSecs()));
            return false;
        }
        return m_port.bytesAvailable() > 0 ||
               m_port.waitForReadyRead(int(std::max<qint64>(0, deadline.remainingTime())));
    }

    QByteArray read() override { return m_port.readAll(); }

private:
    // A device that went away reports a resource error; single read errors may pass.
    void onError(QSerialPort::SerialPortError error) {
        if (m_opening || m_lost || error == QSerialPort::NoError)
            return;
        const bool gone = error == QSerialPort::ResourceError ||
                          (error == QSerialPort::ReadError && ++m_readFailures >= 50);
        const QString reason = m_port.errorString();
        m_port.clearError();
        if (!gone)
            return;
        m_lost = true;
        QMetaObject::invokeMethod(
            this,
            [this, reason] {
                if (isOpen())
                    emit lost(
                        QStringLiteral("%1 is no longer available: %2").arg(m_device, reason));
            },
            Qt::QueuedConnection);
    }

    QSerialPort m_port;
    QString m_device;
    bool m_opening = false; // errors met while opening, closing or setting are the caller's
    bool m_lost = false;
    int m_readFailures = 0;
};

} // namespace

std::unique_ptr<Line> makeSerialLine(const QString &device) {
    return std::make_unique<WindowsLine>(device);
}

} // namespace serial
