#include "desktop_feedback.h"

#include <QFileDialog>
#include <QMessageBox>

namespace window {

void QtMessageBox::MsgBox(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Impulsmeter"), text, QMessageBox::Ok, parent_);
    box.exec();
}

QString QtFileDialog::saveFileName()
{
    return QFileDialog::getSaveFileName(parent_, QStringLiteral("Aufzeichnen"), QString(),
                                        QStringLiteral("CSV-Dateien (*.csv);;Alle Dateien (*)"));
}

}  // namespace window
