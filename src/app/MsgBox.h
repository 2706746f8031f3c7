#pragma once

#include <QString>

class QWidget;

namespace velmora {

// Stand-in for the platform's message box: modal, only an OK button, no icon,
// titled with the program's title. Returns when the user confirms.
void MsgBox(QWidget *parent, const QString &text);

}  // namespace velmora
