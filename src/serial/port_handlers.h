#pragma once

#include "main_window_view.h"
#include "serial_line_service.h"

#include <QLocale>

namespace serial {

// The open, close and scan buttons and the lost port. Every step of a handler
// runs; a step the service rejects is passed over, and success is judged only
// by reading PortOpen afterwards.
class PortHandlers {
public:
    PortHandlers(MainWindowView& view, SerialLineService& service, MessageBox& messages,
                 QLocale locale = QLocale());

    void Command_OPEN_Click();
    void Command_CLOSE_Click();
    void Command_SCAN_Click();
    // The service closed a port that vanished: shown as a close, without a message.
    void MSComm1_OnPortLost();
    // Names the device behind every COM number in its tooltip (start-up).
    void showPortDevices();

private:
    std::int16_t chosenPort() const;
    void explainPort(std::int16_t port, bool isOpenPort);

    MainWindowView& view_;
    SerialLineService& MSComm1;
    MessageBox& messages_;
    QLocale locale_;
};

}  // namespace serial
