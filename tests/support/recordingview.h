// A window for tests: the window's own presenter over controls that record what the link and
// the update procedure show, with message boxes answered from a script.
#pragma once

#include <QList>
#include <QMap>
#include <QStringList>
#include <functional>

#include "form.h"
#include "formpresenter.h"

struct RecordedForm : Form {
    struct Box {
        QString text;
        QString title;
        Icon icon;
        Buttons buttons;
        Answer defaultButton;
        QString informative;
    };

    float value = 0.0f;
    float max = 100.0f;
    QString panels[5];
    QStringList panel1History; // every text written to panel 1, in order
    QString exitCaption = QStringLiteral("Exit (ESC)");
    QString messageLine;
    QMap<Control, bool> enabled;
    bool remote = false;
    QList<Box> boxes;
    QList<Answer> answers; // taken in order; when empty the box's default button is used
    std::function<void(const Box &)> onBox;
    int successShown = 0;
    int successUnloaded = 0;
    int mainUnloaded = 0;

    void setProgressValue(float v) override { value = v; }
    void setProgressMax(float m) override { max = m; }
    void setPanelText(int panel, const QString &text) override {
        panels[panel] = text;
        if (panel == 1)
            panel1History << text;
    }
    void setExitCaption(const QString &caption) override { exitCaption = caption; }
    void setMessageLine(const QString &text) override { messageLine = text; }
    void setControlEnabled(Control control, bool on) override { enabled[control] = on; }
    bool remoteChecked() const override { return remote; }
    Answer messageBox(const QString &text, const QString &title, Icon icon, Buttons buttons,
                      Answer defaultButton, const QString &informative) override {
        const Box box{text, title, icon, buttons, defaultButton, informative};
        boxes << box;
        if (onBox)
            onBox(box);
        return answers.isEmpty() ? defaultButton : answers.takeFirst();
    }
    void showSuccess() override { ++successShown; }
    void unloadSuccess() override { ++successUnloaded; }
    void unloadMainWindow() override { ++mainUnloaded; }

    QStringList boxTexts() const {
        QStringList texts;
        for (const Box &box : boxes)
            texts << box.text;
        return texts;
    }
};

// The state gives the boxes their title, as the window's own does.
class RecordingView : public RecordedForm, public FormPresenter {
public:
    explicit RecordingView(const FormState &state)
        : FormPresenter(static_cast<RecordedForm &>(*this), state) {}

    // Back to a window that has shown nothing.
    void clear() { static_cast<RecordedForm &>(*this) = RecordedForm{}; }
};
