#include "desktop_feedback.h"

#include <QMessageBox>

namespace window {

void QtMessageBox::MsgBox(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Impulsmeter"), text, QMessageBox::Ok, parent_);
    box.exec();
}

}  // namespace window
