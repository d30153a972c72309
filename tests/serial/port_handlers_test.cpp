#include "fake_serial_line_service.h"
#include "fake_view.h"
#include "port_handlers.h"

#include <gtest/gtest.h>

using serial::PortFailure;

namespace {

class ScriptedMessages : public MessageBox {
public:
    void MsgBox(const QString& text) override { shown << text; }
    QStringList shown;
};

class PortHandling : public ::testing::Test {
protected:
    // Only the writes and PortOpen reads: the order the service relies on.
    QStringList orderedCalls() const
    {
        QStringList out;
        for (const QString& call : service.calls)
            if (call.contains(QLatin1Char('=')) || call == QStringLiteral("PortOpen?"))
                out << call;
        return out;
    }
    Colour frame() const { return view.backColors.at(ColouredControl::Frame_OPEN); }

    FakeView view;
    FakeSerialLineService service;
    ScriptedMessages messages;
    serial::PortHandlers ports{view, service, messages, QLocale(QLocale::German, QLocale::Germany)};
};

// The calling orders the service relies on: open on COM 3 without RTS, close,
// and the scan, which closes first and then probes every port in turn. The
// caption shows what the service reports in force.
TEST_F(PortHandling, OpenCloseAndScanCallTheServiceInItsOrderAndOpenShowsWhatIsInForce)
{
    service.existingPorts = {1, 3};
    view.select(OptionArray::Option_COMPORT, 2);
    view.setCheck(CheckBox::Check_RTS, false);
    QStringList scan{"PortOpen=false", "PortOpen?", "PortOpen=false"};
    for (int i = 1; i <= kComPortCount; ++i)
        scan << QStringLiteral("CommPort=%1").arg(i) << "PortOpen=true" << "PortOpen?" << "PortOpen=false";
    const std::pair<void (serial::PortHandlers::*)(), QStringList> rows[] = {
        {&serial::PortHandlers::Command_OPEN_Click,
         {"PortOpen=false", "Settings=9600,n,8,1", "DTREnable=true", "RTSEnable=false", "CommPort=3", "PortOpen=true",
          "PortOpen?"}},
        {&serial::PortHandlers::Command_CLOSE_Click, {"PortOpen=false", "PortOpen?"}},
        {&serial::PortHandlers::Command_SCAN_Click, scan},
    };
    for (const auto& [click, order] : rows) {
        service.calls.clear();
        (ports.*click)();
        EXPECT_EQ(orderedCalls(), order);
    }

    ports.Command_OPEN_Click();
    EXPECT_EQ(view.caption, QStringLiteral("COM 3  9600,n,8,1"));
    EXPECT_EQ(frame(), colours::lightGreen);
    EXPECT_TRUE(view.comPorts[2].toolTip.contains(QStringLiteral("Zähler"))) << view.comPorts[2].toolTip.toStdString();
    // Open on an open port closes it first and reopens with the current choices;
    // a settings text the service rejects leaves the one in force.
    view.texts[TextBox::Text_SETTINGS] = QStringLiteral("19200,e,7,2");
    ports.Command_OPEN_Click();
    EXPECT_EQ(view.caption, QStringLiteral("COM 3  19200,e,7,2"));
    for (const char* typed : {"kaputt", "", "9600,n,8,1,extra"}) {
        view.texts[TextBox::Text_SETTINGS] = QString::fromUtf8(typed);
        ports.Command_OPEN_Click();
        EXPECT_EQ(view.caption, QStringLiteral("COM 3  19200,e,7,2")) << typed;
        EXPECT_EQ(frame(), colours::lightGreen) << typed;
    }
    EXPECT_TRUE(messages.shown.isEmpty());
}

TEST_F(PortHandling, FailedOpenNamesThePortAndSaysWhyInTheTooltip)
{
    struct Row {
        int option;
        PortFailure failure;
        const char* why;
    };
    const Row rows[] = {
        {1, PortFailure::NoSuchDevice, "nicht vorhanden"},
        {4, PortFailure::InUse, "belegt"},
        {15, PortFailure::NoPermission, "dialout"},
    };
    for (const auto& row : rows) {
        const auto port = static_cast<std::int16_t>(row.option + 1);
        service.failures[port] = row.failure;
        view.select(OptionArray::Option_COMPORT, row.option);
        view.caption = QStringLiteral("?");
        view.backColors[ColouredControl::Frame_OPEN] = colours::lightGreen;
        messages.shown.clear();

        ports.Command_OPEN_Click();
        EXPECT_EQ(messages.shown, QStringList{QStringLiteral("COM %1 kann nicht geöffnet werden").arg(port)});
        EXPECT_EQ(view.caption, QStringLiteral("?"));
        EXPECT_EQ(frame(), colours::buttonFace);
        EXPECT_TRUE(view.comPorts[row.option].toolTip.contains(QString::fromUtf8(row.why)))
            << view.comPorts[row.option].toolTip.toStdString();
    }

    // No option selected: port 0, which the service refuses.
    view.comPorts[15].selected = false;
    messages.shown.clear();
    ports.Command_OPEN_Click();
    EXPECT_EQ(messages.shown, QStringList{QStringLiteral("COM 0 kann nicht geöffnet werden")});
}

TEST_F(PortHandling, ScanEnablesOnlyThePortsThatOpen)
{
    service.existingPorts = {1, 3};
    view.select(OptionArray::Option_COMPORT, 4);
    ports.Command_OPEN_Click();  // COM 5 fails; the scan must still run

    ports.Command_SCAN_Click();
    for (int i = 0; i < kComPortCount; ++i)
        EXPECT_EQ(view.comPorts[i].enabled, i == 0 || i == 2) << "COM " << i + 1;
    EXPECT_FALSE(service.PortOpen());
    EXPECT_EQ(service.CommPort(), 16);
    EXPECT_EQ(view.caption, QStringLiteral("close"));
    EXPECT_TRUE(view.comPorts[4].selected) << "a disabled choice stays selected";

}

TEST_F(PortHandling, CloseAndALostPortShowTheClosedState)
{
    ports.Command_CLOSE_Click();  // on a closed port too
    EXPECT_EQ(view.caption, QStringLiteral("close"));
    EXPECT_EQ(frame(), colours::buttonFace);

    service.existingPorts = {1};
    service.OnPortLost = [this] { ports.MSComm1_OnPortLost(); };
    for (bool lost : {false, true}) {
        ports.Command_OPEN_Click();
        ASSERT_EQ(frame(), colours::lightGreen);
        if (lost)
            service.losePort();
        else
            ports.Command_CLOSE_Click();
        EXPECT_FALSE(service.PortOpen());
        EXPECT_EQ(frame(), colours::buttonFace);
        EXPECT_EQ(view.caption, QStringLiteral("close"));
    }
    EXPECT_TRUE(messages.shown.isEmpty());

    // At start-up the tooltips name what stands behind each number.
    service.existingPorts = {2};
    ports.showPortDevices();
    EXPECT_TRUE(view.comPorts[1].toolTip.contains(QStringLiteral("/dev/ttyFAKE1")));
    EXPECT_TRUE(view.comPorts[0].toolTip.contains(QStringLiteral("Kein serielles Gerät")));
}

}  // namespace
