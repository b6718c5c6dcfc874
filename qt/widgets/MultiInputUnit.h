// Modal input boxes built at run time: a white header band with the question icon
// and the wrapped prompt, the input controls under it, "OK" and "Cancel" at the
// bottom right. They are shown through Dialogs().ExecDialog.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

class QWidget;

namespace zarvo::qt {

struct TMultiSelectOption {
    QString Caption;
    QString* pValue = nullptr; // when set, an edit under the check box shows and takes it
};

class TMultiInputBox {
public:
    // Asks for an integer from aMin to aMax; "OK" is enabled only for such a text.
    // The edit is named "InputEdit", the buttons "OKButton" and "CancelButton".
    static bool NumInputBox(QWidget* owner, const QString& title, const QString& text, int32_t& value,
                            int32_t aMin, int32_t aMax);
    // One check box per option ("OptionCheck0"...), ticked by bit i of checked, with an
    // edit ("OptionEdit0"...) under it when the option has a value.
    static bool OptionsSelectBox(QWidget* owner, const QString& title, const QString& text,
                                 const std::vector<TMultiSelectOption>& options, uint32_t& checked);
};

} // namespace zarvo::qt
