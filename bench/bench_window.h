#pragma once

// What the benchmarks that drive the real window share: a window that answers
// its own message boxes and stays silent, on COM 1 of a fake tree whose device
// is a pseudo-terminal, counting the chosen line through the Linux service.

#include "haupt.h"
#include "line_control.h"
#include "linux_serial_line_service.h"
#include "wait_for.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <cstdio>
#include <memory>

class NoMessages : public MessageBox {
public:
    void MsgBox(const QString& text) override { std::fprintf(stderr, "message: %s\n", qPrintable(text)); }
};

class NoBeep : public measurement::Beeper {
public:
    void Beep() override {}
};

// `lines` stands in for the modem lines of the port at `tree`/dev/ttyUSB0.
// `signal` is the optSignal button: 0 DCD, 1 DSR, 2 CTS, 3 RI.
struct BenchWindow {
    BenchWindow(const QString& tree, std::unique_ptr<serial::LineControl> lines, int signal)
        : window(std::make_unique<serial::LinuxSerialLineService>(tree, std::move(lines)), &messages, &beeper)
    {
        window.show();
        window.findChild<QRadioButton*>(QStringLiteral("Option_COMPORT_0"))->setChecked(true);
        window.findChild<QRadioButton*>(QStringLiteral("optSignal_%1").arg(signal))->setChecked(true);
        window.findChild<QPushButton*>(QStringLiteral("Command_OPEN"))->click();
    }
    bool opened() const { return window.windowTitle().startsWith(QStringLiteral("COM 1 ")); }

    NoMessages messages;
    NoBeep beeper;
    HAUPT window;
};

// Lets the event loop sleep for `ms`, as the program's would: no polling
// that would add to the window thread's time.
inline void idleFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}
