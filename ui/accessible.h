// What a screen reader hears from the window: the shown texts as they change, and the tool
// tip for a control that shows no caption of its own.
#pragma once

class QLabel;
class QWidget;

namespace accessible {

// Both are to be called before the control's name or text is first set.

// The control is announced by its tool tip. For a combo box this replaces the current item,
// which Qt offers as the name on Linux (it expects a label beside the box to name it); the
// current item stays its value, and its items stay listed, the current one selected.
void nameByToolTip(QWidget *control);

// The label's current text is its name and is offered through the text interface too, so
// that a text that changes during an update can be read at any moment.
void exposeText(QLabel *label);

} // namespace accessible
