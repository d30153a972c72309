#include "haupt.h"
#include "line_control.h"
#include "linux_serial_line_service.h"
#include "program_icon.h"
#include "wait_interrupt.h"

#include <QApplication>

#include <cstdio>

namespace {

// Without any display the toolkit would stop with a stack of errors; one
// line says what is wrong and what to do instead.
bool noDisplay()
{
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char* argv[])
{
    if (noDisplay()) {
        std::fputs("impulsmeter: no display (DISPLAY and WAYLAND_DISPLAY are unset); start it on a desktop, "
                   "or without one under Xvfb: xvfb-run build/src/impulsmeter\n",
                   stderr);
        return 2;
    }
    // Claimed before the toolkit starts threads of its own.
    serial::stopSignal();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Impulsmeter"));
    QApplication::setWindowIcon(window::programIcon());
    // The machine's own ports, through the kernel's modem-line requests.
    HAUPT w(std::make_unique<serial::LinuxSerialLineService>(QStringLiteral("/"), serial::makeSystemLineControl()));
    w.show();
    return app.exec();
}
