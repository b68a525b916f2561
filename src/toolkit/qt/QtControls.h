// The Qt widgets that stand for a dialog template's controls, laid out in dialog units of the
// dialog's own font.
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/Dialog.h"
#include "toolkit/qt/DialogUnits.h"

class QComboBox;
class QLineEdit;
class QWidget;

namespace vandrelux::platform::qt {

[[nodiscard]] QString ToQt(std::string_view text);
// Rich-edit panes keep one character per line end, as the native control does with CR LF.
[[nodiscard]] QString ToPaneText(std::string_view text);

// The template's face where installed, else the nearest sans face at hand.
[[nodiscard]] QFont DialogFont(const DialogTemplate& dialog);
[[nodiscard]] BaseUnits BaseUnitsOf(const QFont& font);

// Makes the widget for one template entry on `parent`, in place. Clicks of its buttons and tick
// boxes go to `onClick` with the entry's id, after a tick box has taken its new state.
[[nodiscard]] QWidget* MakeControl(QWidget& parent, BaseUnits units, const ControlTemplate& c,
                                   const std::function<void(ControlId)>& onClick);

// Fills a combo box's list in the styles its template gives; nothing is chosen afterwards.
void FillCombo(QComboBox& combo, const std::vector<std::string>& items, bool uppercase,
               bool sorted);

void ApplyReadOnlyLook(QLineEdit& edit, bool readOnly);

}  // namespace vandrelux::platform::qt
