#pragma once

#include "main_window_view.h"

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

}  // namespace window
