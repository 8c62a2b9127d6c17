#include "accessible.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QHash>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPersistentModelIndex>
#include <QPointer>

namespace {

// Dynamic properties that opt a widget into the interfaces below; every other widget keeps
// the interface Qt gives it.
constexpr char kNamedCombo[] = "zarvoNamedComboBox";
constexpr char kLiveLabel[] = "zarvoLiveLabel";
constexpr char kPopupList[] = "zarvoPopupList";

// An item of a combo box's list. Qt's own items take the list's current item as focused and
// measure visibility against the list's rectangle, shown or not: every closed list would then
// offer its current item to a screen reader as focused and showing, beside the control that
// really has the focus. An item is seen and can have the focus only while its list is open.
class PopupListItem : public QAccessibleInterface {
public:
    PopupListItem(QAbstractItemView *view, const QModelIndex &index)
        : m_view(view), m_index(index) {}

    bool isValid() const override { return m_view && m_index.isValid(); }
    QObject *object() const override { return nullptr; }
    QAccessibleInterface *parent() const override {
        return QAccessible::queryAccessibleInterface(m_view.data());
    }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *focusChild() const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QString text(QAccessible::Text t) const override {
        if (!isValid() || t != QAccessible::Name)
            return {};
        const QString spoken = m_index.data(Qt::AccessibleTextRole).toString();
        return spoken.isEmpty() ? m_index.data(Qt::DisplayRole).toString() : spoken;
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override {
        if (!isValid())
            return {};
        const QRect shown = m_view->visualRect(m_index);
        return shown.translated(m_view->viewport()->mapToGlobal(QPoint(0, 0)));
    }
    QAccessible::State state() const override {
        QAccessible::State st;
        if (!isValid())
            return st;
        st.selectable = st.focusable = true;
        const QItemSelectionModel *selection = m_view->selectionModel();
        st.selected = selection && selection->isSelected(m_index);
        const bool open = m_view->isVisible();
        const QRect viewport(m_view->viewport()->mapToGlobal(QPoint(0, 0)),
                             m_view->viewport()->size());
        st.invisible = !open || !viewport.intersects(rect());
        st.offscreen = st.invisible;
        st.focused = open && selection && selection->currentIndex() == m_index;
        return st;
    }

    int row() const { return m_index.row(); }

private:
    QPointer<QAbstractItemView> m_view;
    QPersistentModelIndex m_index;
};

// A combo box's list, with the items above: one per row of the box's column. Each item is
// kept, so that a screen reader sees the same object every time it asks, until its row goes.
class PopupList : public QAccessibleWidget {
public:
    explicit PopupList(QAbstractItemView *view) : QAccessibleWidget(view, QAccessible::List) {}
    ~PopupList() override {
        for (QAccessible::Id id : std::as_const(m_items))
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override {
        const QAbstractItemModel *model = view()->model();
        return model ? model->rowCount(view()->rootIndex()) : 0;
    }
    QAccessibleInterface *child(int index) const override {
        if (index < 0 || index >= childCount())
            return nullptr;
        if (const auto kept = m_items.constFind(index); kept != m_items.cend()) {
            auto *item = static_cast<PopupListItem *>(QAccessible::accessibleInterface(*kept));
            if (item && item->isValid() && item->row() == index)
                return item;
            QAccessible::deleteAccessibleInterface(*kept);
            m_items.remove(index);
        }
        const QModelIndex row = view()->model()->index(index, column(), view()->rootIndex());
        auto *item = new PopupListItem(view(), row);
        m_items.insert(index, QAccessible::registerAccessibleInterface(item));
        return item;
    }
    int indexOfChild(const QAccessibleInterface *child) const override {
        for (auto kept = m_items.cbegin(); kept != m_items.cend(); ++kept)
            if (QAccessible::accessibleInterface(kept.value()) == child)
                return kept.key();
        return -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override {
        if (!view()->isVisible())
            return nullptr;
        const QModelIndex at = view()->indexAt(view()->viewport()->mapFromGlobal(QPoint(x, y)));
        return at.isValid() ? child(at.row()) : nullptr;
    }
    QAccessibleInterface *focusChild() const override {
        const QItemSelectionModel *selection = view()->selectionModel();
        if (!view()->isVisible() || !selection || !selection->currentIndex().isValid())
            return nullptr;
        return child(selection->currentIndex().row());
    }

private:
    QAbstractItemView *view() const { return static_cast<QAbstractItemView *>(widget()); }
    int column() const {
        const auto *box =
            qobject_cast<const QComboBox *>(view()->property(kPopupList).value<QObject *>());
        return box ? box->modelColumn() : 0;
    }

    mutable QHash<int, QAccessible::Id> m_items;
};

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
    if (auto *view = qobject_cast<QAbstractItemView *>(object);
        view && view->property(kPopupList).value<QObject *>())
        return new PopupList(view);
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
        // The list may have been given Qt's interface as it was made: replace it by ours.
        QAbstractItemView *list = box->view();
        list->setProperty(kPopupList, QVariant::fromValue<QObject *>(box));
        if (QAccessibleInterface *made = QAccessible::queryAccessibleInterface(list);
            made && !dynamic_cast<PopupList *>(made))
            QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
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
