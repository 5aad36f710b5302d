// The control layout file (mainwindow/controller/ControlLayout.h) applied
// to a page's widgets: a record names a control by its object name and,
// for a control array, by its index; each value goes to the widget's
// geometry (twips), visibility, alignment or colours. A value the control
// cannot take is ignored and the next one is applied.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace gascal {

struct LayoutValue;

// Makes the widget element `index` of the control array `name`; its object
// name becomes the name followed by the index ("TxtRpm0").
void SetControlArray(QWidget* w, const char* name, int index);

// The page's control of that name (letter case ignored): without an index
// the one in no array, with an index that element of its array. Null when
// the page has none.
QWidget* FindControl(QWidget* page, const QString& name, std::optional<int> index);

// Applies one value; false (and nothing changed) when the control cannot
// take it.
bool ApplyLayoutValue(QWidget* control, const LayoutValue& value);

// Applies the page's records of the file; false when there is no file
// (the page keeps its design layout).
bool ApplyControlLayout(QWidget* page, const QString& path, const QString& startLine,
                        const QString& endLine);

}  // namespace gascal
