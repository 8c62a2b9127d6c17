#include "accessible.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>

namespace {

// Dynamic properties that opt a widget into the interfaces below; every other widget keeps
// the interface Qt gives it.
constexpr char kNamedCombo[] = "zarvoNamedComboBox";
constexpr char kLiveLabel[] = "zarvoLiveLabel";

// Qt's own combo-box interface, with the box's accessible name as its name. Qt's interface
// cannot be reused: it is not exported, so it can be neither subclassed nor created here, and
// on Linux it gives the current item as the name. This one is the same otherwise: the list
// (Qt's item-view interface, with the items and their selection) and, when the box is
// editable, its text field as children; the current item as the value; the popup as the
// action. The value and selection changes are announced by the box itself, whatever its
// interface.
class NamedComboBox : public QAccessibleWidget {
public:
    explicit NamedComboBox(QComboBox *box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

    int childCount() const override { return box()->isEditable() ? 2 : 1; }
    QAccessibleInterface *child(int index) const override {
        if (index == 0)
            return QAccessible::queryAccessibleInterface(box()->view());
        if (index == 1 && box()->isEditable())
            return QAccessible::queryAccessibleInterface(box()->lineEdit());
        return nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override {
        if (!child)
            return -1;
        if (child->object() == box()->view())
            return 0;
        if (box()->isEditable() && child->object() == box()->lineEdit())
            return 1;
        return -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override {
        if (QLineEdit *edit = box()->lineEdit();
            edit && QRect(edit->mapToGlobal(QPoint(0, 0)), edit->size()).contains(x, y))
            return child(1);
        return nullptr;
    }
    // The box is the focus proxy of its text field, which therefore never has the focus
    // itself; a screen reader reads and edits the text through it all the same.
    QAccessibleInterface *focusChild() const override {
        return box()->isEditable() ? child(1) : nullptr;
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return box()->isEditable() ? box()->lineEdit()->text() : box()->currentText();
        return QAccessibleWidget::text(t); // the accessible name; the tool tip describes
    }

    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << showMenuAction() << pressAction();
    }
    void doAction(const QString &action) override {
        if (action != showMenuAction() && action != pressAction()) {
            QAccessibleWidget::doAction(action);
        } else if (box()->view()->isVisible()) {
            box()->hidePopup();
        } else {
            box()->showPopup();
        }
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
        // The list marks the current item only once it has been popped up; a screen reader
        // takes the box's value from the list's selected item, so it must be right before.
        QObject::connect(box, &QComboBox::currentIndexChanged, box, [box](int index) {
            QItemSelectionModel *selection = box->view()->selectionModel();
            const QModelIndex item =
                box->model()->index(index, box->modelColumn(), box->rootModelIndex());
            if (!selection)
                return;
            if (item.isValid())
                selection->setCurrentIndex(item, QItemSelectionModel::ClearAndSelect);
            else
                selection->clear();
        });
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
