#pragma once

#include <QString>

#include <vector>

namespace serial {

enum class DeviceKind {
    OnBoardUart,  // ttyS*: serial core, 8250 family on these machines
    UsbSerial,    // ttyUSB*
    UsbModem,     // ttyACM*
};

struct DeviceEntry {
    QString name;        // ttyUSB0
    QString device;      // /dev/ttyUSB0, as the user knows it
    QString stableName;  // /dev/serial/by-id/..., empty when there is none
    QString openPath;    // what is opened: the node under the root, links resolved
    DeviceKind kind = DeviceKind::UsbSerial;
};

// The machine's serial devices in COM order, read from the dev/ and sys/
// trees under `root`: on-board UARTs with hardware behind them, then ttyUSB,
// then ttyACM, each by number; the kernel's console is left out. Entry i is
// COM i+1.
std::vector<DeviceEntry> readDeviceMap(const QString& root);

}  // namespace serial
