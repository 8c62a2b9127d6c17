#include "accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

namespace {

// Dynamic properties that opt a widget into the interfaces below; every other widget keeps
// the interface Qt gives it.
constexpr char kNamedCombo[] = "zarvoNamedComboBox";
constexpr char kLiveLabel[] = "zarvoLiveLabel";

class NamedComboBox : public QAccessibleWidget {
public:
    explicit NamedComboBox(QComboBox *box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return box()->currentText();
        return QAccessibleWidget::text(t); // the accessible name; the tool tip describes
    }
    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << showMenuAction();
    }
    void doAction(const QString &action) override {
        if (action == showMenuAction())
            box()->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    QComboBox *box() const { return static_cast<QComboBox *>(widget()); }
};

// Qt's label interface has no text interface; this one reads the label's text at every call.
class LiveLabel : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit LiveLabel(QLabel *label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    void *interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return shown();
        return QAccessibleWidget::text(t);
    }

    // Read-only text: no selection, the cursor stays at the start.
    void selection(int, int *startOffset, int *endOffset) const override {
        *startOffset = *endOffset = 0;
    }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int startOffset, int endOffset) const override {
        return shown().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(shown().size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int *startOffset, int *endOffset) const override {
        *startOffset = *endOffset = offset;
        return {};
    }

private:
    QString shown() const { return static_cast<QLabel *>(widget())->text(); }
};

QAccessibleInterface *factory(const QString &, QObject *object) {
    if (!object || !object->isWidgetType())
        return nullptr;
    if (auto *box = qobject_cast<QComboBox *>(object); box && box->property(kNamedCombo).toBool())
        return new NamedComboBox(box);
    if (auto *label = qobject_cast<QLabel *>(object); label && label->property(kLiveLabel).toBool())
        return new LiveLabel(label);
    return nullptr;
}

void installOnce() {
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace

namespace accessible {

// Qt keeps the first interface made for a widget, and a change of its name or text already
// makes one: the property must be set before either.
void nameByToolTip(QWidget *control) {
    if (auto *box = qobject_cast<QComboBox *>(control)) {
        installOnce();
        box->setProperty(kNamedCombo, true);
        if (QLineEdit *edit = box->lineEdit())
            edit->setAccessibleName(control->toolTip());
    }
    control->setAccessibleName(control->toolTip());
}

void exposeText(QLabel *label) {
    installOnce();
    label->setProperty(kLiveLabel, true);
}

} // namespace accessible
