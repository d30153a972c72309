#include "device_map.h"
#include "fake_line_control.h"
#include "linux_serial_line_service.h"
#include "port_fixtures.h"

#include <gtest/gtest.h>

#include <memory>

using serial::DeviceKind;
using serial::readDeviceMap;

namespace {

QStringList devices(const QString& root)
{
    QStringList out;
    for (const auto& entry : readDeviceMap(root))
        out << entry.device;
    return out;
}

// On-board lines without hardware and the console are left out; the families
// follow each other in their order, each by number, gaps closed up.
TEST(DeviceMap, OrdersUartsThenUsbThenAcmByNumber)
{
    FakeTree tree;
    tree.addUart(QStringLiteral("ttyS0"), 4, /*console=*/true);
    tree.addUart(QStringLiteral("ttyS1"), 0);
    tree.addUart(QStringLiteral("ttyS2"), 4);
    tree.addUart(QStringLiteral("ttyS10"), 4);
    tree.addDevice(QStringLiteral("ttyS3"));  // no sysfs entry: nothing known behind it
    tree.addDevice(QStringLiteral("ttyACM0"));
    tree.addDevice(QStringLiteral("ttyUSB11"));
    tree.addDevice(QStringLiteral("ttyUSB2"));
    tree.addDevice(QStringLiteral("ttyUSB"));
    tree.addDevice(QStringLiteral("ttyUSBx1"));
    tree.addDevice(QStringLiteral("tty1"));
    tree.addDevice(QStringLiteral("ttyprintk"));

    EXPECT_EQ(devices(tree.root()),
              (QStringList{QStringLiteral("/dev/ttyS2"), QStringLiteral("/dev/ttyS10"), QStringLiteral("/dev/ttyUSB2"),
                           QStringLiteral("/dev/ttyUSB11"), QStringLiteral("/dev/ttyACM0")}));
    const auto entries = readDeviceMap(tree.root());
    EXPECT_EQ(entries[0].kind, DeviceKind::OnBoardUart);
    EXPECT_EQ(entries[2].kind, DeviceKind::UsbSerial);
    EXPECT_EQ(entries[4].kind, DeviceKind::UsbModem);
}

TEST(DeviceMap, AConsoleOnAUsbAdapterIsLeftOutToo)
{
    FakeTree tree;
    tree.addDevice(QStringLiteral("ttyUSB0"));
    tree.addDevice(QStringLiteral("ttyUSB1"));
    tree.setAttribute(QStringLiteral("ttyUSB0"), QStringLiteral("console"), QStringLiteral("Y"));
    EXPECT_EQ(devices(tree.root()), QStringList{QStringLiteral("/dev/ttyUSB1")});
}

TEST(DeviceMap, StableNamesComeFromByIdLinks)
{
    FakeTree tree;
    tree.addDevice(QStringLiteral("ttyUSB0"));
    tree.addDevice(QStringLiteral("ttyACM0"));
    tree.addStableName(QStringLiteral("usb-FTDI_FT232R_A1B2-if00-port0"), QStringLiteral("ttyUSB0"));

    const auto entries = readDeviceMap(tree.root());
    ASSERT_EQ(entries.size(), 2U);
    EXPECT_EQ(entries[0].stableName, QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_A1B2-if00-port0"));
    EXPECT_TRUE(entries[1].stableName.isEmpty());
}

TEST(DeviceMap, AMissingOrEmptyTreeHasNoPorts)
{
    EXPECT_TRUE(readDeviceMap(QStringLiteral("/nonexistent-root")).empty());
    FakeTree tree;
    EXPECT_TRUE(readDeviceMap(tree.root()).empty());
}

// Each resolution reads the tree again: an adapter plugged in after start-up
// is found, and COM numbers shift as devices come and go.
TEST(DeviceMap, TheServiceReadsTheMapAfreshOnEveryResolution)
{
    FakeTree tree;
    tree.addUart(QStringLiteral("ttyS1"), 4);
    serial::LinuxSerialLineService service(tree.root(),
                                           std::make_unique<FakeLineControl>(FakeLineControl::Driver{}));
    EXPECT_EQ(service.portInfo(1).device, QStringLiteral("/dev/ttyS1"));
    EXPECT_TRUE(service.portInfo(2).device.isEmpty());

    tree.addDevice(QStringLiteral("ttyUSB0"));
    tree.addStableName(QStringLiteral("usb-Prolific-if00-port0"), QStringLiteral("ttyUSB0"));
    EXPECT_EQ(service.portInfo(2).device, QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(service.portInfo(2).stableName, QStringLiteral("/dev/serial/by-id/usb-Prolific-if00-port0"));

    tree.removeDevice(QStringLiteral("ttyUSB0"));
    EXPECT_TRUE(service.portInfo(2).device.isEmpty());
    for (std::int16_t outside : {0, -3, 17})
        EXPECT_TRUE(service.portInfo(outside).device.isEmpty()) << outside;
}

}  // namespace
