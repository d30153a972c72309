// The closest spacing of edges each USB adapter's real driver lets the Linux
// service count exactly, found by trying smaller ones: bursts of 20 DCD edges
// from the chips that usb_chip emulates, on the dummy UDCs of the kernel
// tier's QEMU guest. Prints its figures; scripts/adapter-bench.sh runs it.
//   adapter_spacing_bench USB_CHIP
#include "line_control.h"
#include "linux_serial_line_service.h"
#include "wait_for.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <sys/ioctl.h>

#include <cstdio>

using namespace std::chrono_literals;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return std::fprintf(stderr, "usage: adapter_spacing_bench USB_CHIP\n"), 2;
    const struct { const char* chip; const char* device; } chips[] = {
        {"ch341", "/dev/ttyUSB1"}, {"pl2303", "/dev/ttyUSB2"}, {"cp210x", "/dev/ttyUSB3"}, {"cdc_acm", "/dev/ttyACM0"}};
    // All plugged, one at a time, so each takes its device number in this order.
    QProcess processes[std::size(chips)];
    for (int udc = 0; udc < int(std::size(chips)); ++udc) {
        processes[udc].setProcessChannelMode(QProcess::ForwardedErrorChannel);
        processes[udc].start(QString::fromLocal8Bit(argv[1]), {chips[udc].chip, QStringLiteral("dummy_udc.%1").arg(udc)});
        if (!waitFor([&] { return QFile::exists(chips[udc].device); }, 20s))
            return std::fprintf(stderr, "%s: no %s\n", chips[udc].chip, chips[udc].device), 1;
    }
    for (int i = 0; i < int(std::size(chips)); ++i) {
        const auto& [name, device] = chips[i];
        QProcess& chip = processes[i];
        serial::LinuxSerialLineService service(QStringLiteral("/"), serial::makeSystemLineControl());
        for (std::int16_t com = 1; com <= 16; ++com)
            if (service.portInfo(com).device == QLatin1String(device))
                service.setCommPort(com);
        int events = 0;
        service.OnComm = [&] { ++events; };
        if (service.setPortOpen(true) != serial::Write::Accepted)
            return std::fprintf(stderr, "%s: %s does not open\n", name, device), 1;
        double closest = 0;
        for (const int us : {20000, 10000, 5000, 2000, 1000, 500, 250, 100}) {
            events = 0;
            chip.write(QStringLiteral("edge 0 %1 %2 20\n").arg(TIOCM_CD).arg(us).toLatin1());
            waitFor([&] { return chip.canReadLine(); }, 30s);
            const double gap = chip.readLine().trimmed().toDouble() / 1000;  // the last edge's, in ms
            waitFor([] { return false; }, 300ms);
            std::printf("%-8s 20 DCD edges %5.2f ms apart: %2d counted\n", name, gap, events);
            if (events != 20)
                break;
            closest = gap;
        }
        std::printf("%-8s closest spacing counted exactly: %.2f ms\n", name, closest);
        service.setPortOpen(false);
    }
    for (QProcess& chip : processes)
        chip.kill(), chip.waitForFinished();
}
