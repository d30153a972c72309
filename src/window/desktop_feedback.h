#pragma once

#include "main_window_view.h"
#include "recording.h"

class QWidget;

namespace window {

// The failure message as a modal box with one OK button. It waits in a nested
// event loop, so the timer keeps ticking and the meter keeps measuring.
class QtMessageBox : public MessageBox {
public:
    explicit QtMessageBox(QWidget* parent) : parent_(parent) {}
    void MsgBox(const QString& text) override;

private:
    QWidget* parent_;
};

// The desktop's save dialog for a recording; it asks before it replaces a file.
class QtFileDialog : public recording::FileDialog {
public:
    explicit QtFileDialog(QWidget* parent) : parent_(parent) {}
    QString saveFileName() override;

private:
    QWidget* parent_;
};

}  // namespace window
