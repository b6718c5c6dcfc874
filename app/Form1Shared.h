// What the main window's files share: text conversions and the captions of its controls.
#pragma once

#include <QLabel>
#include <QString>
#include <string>

namespace form1 {

inline std::string Std(const QString& s) {
    return s.toStdString();
}
inline QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// A caption as it is shown: its mnemonic mark taken out ("&&" shows one "&").
QString ShownText(const QString& caption);

// A caption that can change, such as a count. The label announces its new text
// itself; the edit it names is told that its name changed with it.
void SetCaption(QLabel* label, const QString& text);

} // namespace form1
