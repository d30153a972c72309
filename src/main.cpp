#include "haupt.h"
#include "line_control.h"
#include "linux_serial_line_service.h"
#include "program_icon.h"
#include "wait_interrupt.h"

#include <QApplication>

#include <cstdio>
#include <optional>
#include <string_view>

namespace {

// Without any display the toolkit would stop with a stack of errors; one
// line says what is wrong and what to do instead.
bool noDisplay()
{
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// Everything is set in the window; the command line answers only the two
// requests every Debian program answers, and names anything else as unknown.
// The exit status when the program ends here.
std::optional<int> answerCommandLine(int argc, char* argv[], const char* started)
{
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument != "--help" && argument != "--version") {
            std::fprintf(stderr, "impulsmeter: unknown argument \"%s\"; it takes none but --help and --version\n", argv[i]);
            return 2;
        }
        help = help || argument == "--help";
    }
    if (argc < 2)
        return std::nullopt;
    if (help)
        std::printf("Usage: %s [--help | --version]\n"
                    "A pulse counter and frequency meter on the modem-status inputs (DCD, DSR, CTS, RI)\n"
                    "of a serial port. Everything is set in its window, captioned in German.\n\n"
                    "  --help     show this text and exit\n"
                    "  --version  show the version and exit\n\n"
                    "The manual: man impulsmeter; wiring, adapters and troubleshooting: the README\n"
                    "in " IMPULSMETER_DOC_DIR "\n",
                    started);
    else
        std::puts("impulsmeter " IMPULSMETER_VERSION);
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    // Named as the user started it, so the hint below works from a package and from a build alike.
    const char* started = argc > 0 && argv[0][0] != '\0' ? argv[0] : "impulsmeter";
    if (const auto status = answerCommandLine(argc, argv, started))
        return *status;
    if (noDisplay()) {
        std::fprintf(stderr,
                     "impulsmeter: no display (DISPLAY and WAYLAND_DISPLAY are unset); start it on a desktop, "
                     "or without one under Xvfb: xvfb-run %s\n",
                     started);
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
