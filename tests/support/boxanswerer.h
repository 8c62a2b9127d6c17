// Message boxes of the real window answered by a test.
#pragma once

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <functional>

struct SeenBox {
    QString text;
    QString title;
    QMessageBox::Icon icon;
};

// Answers the tool's message boxes as they appear, from inside their own modal loops.
class BoxAnswerer : public QObject {
public:
    QStringList answers; // "Yes", "No"; when empty the box's default button is pressed
    QList<SeenBox> seen;
    std::function<void()> onTick; // runs on every poll, also inside Send's wait

    BoxAnswerer() {
        m_timer.setInterval(2);
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        m_timer.start();
    }
    QStringList texts() const {
        QStringList out;
        for (const SeenBox &b : seen)
            out << b.text;
        return out;
    }

private:
    void poll() {
        if (onTick)
            onTick();
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box == m_last)
            return;
        m_last = box;
        seen << SeenBox{box->text(), box->windowTitle(), box->icon()};
        QAbstractButton *button = box->defaultButton();
        if (!answers.isEmpty()) {
            const QString answer = answers.takeFirst();
            button = box->button(answer == "Yes" ? QMessageBox::Yes : QMessageBox::No);
        }
        if (!button)
            button = box->button(QMessageBox::Ok);
        if (button)
            button->click();
    }

    QTimer m_timer;
    QPointer<QMessageBox> m_last;
};
