#include "fake_serial_line_service.h"
#include "haupt.h"

#include <QtTest>
#include <QtWidgets>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// The real window offscreen, holding the test double as its service; the
// fixture answers the message box at once, keeping what it was asked.
class HauptTest : public ::testing::Test, public MessageBox {
protected:
    HauptTest() { makeWindow(this); }
    void MsgBox(const QString& text) override { shown << text; }
    void makeWindow(MessageBox* box)
    {
        auto service = std::make_unique<FakeSerialLineService>();
        fake = service.get();
        // Each tick reads a second after the one before, however late a loaded machine runs it.
        window = std::make_unique<HAUPT>(std::move(service), box, nullptr,
                                         [t = std::chrono::steady_clock::time_point()]() mutable { return t += 1s; });
    }
    template <typename T = QWidget>
    T* control(const QString& name) const { return window->findChild<T*>(name); }
    // Texts and colours reach the widgets once a display frame: checks look
    // at what is shown once the due hand-over is done.
    bool handedOn() const { return QTest::qWaitFor([this] { return !control<QTimer>("readoutFrame")->isActive(); }); }
    // The texts of the boxes named, '|' between names and texts.
    QString text(const QString& names) const
    {
        handedOn();
        QStringList texts;
        for (const QString& name : names.split(u'|'))
            texts << control<QLineEdit>(name)->text();
        return texts.join(u'|');
    }
    QString colour(const QString& name) const
    {
        handedOn();
        return control(name)->palette().color(control(name)->backgroundRole()).name();
    }
    QString indicator() const { return control("lblMM")->accessibleDescription() + colour("lblMM"); }
    QRadioButton* comPort(int i) const { return control<QRadioButton>(QStringLiteral("Option_COMPORT_%1").arg(i)); }
    void click(const QString& name) const { QTest::mouseClick(control(name), Qt::LeftButton, {}, QPoint(4, 6)); }

    QStringList shown;
    FakeSerialLineService* fake = nullptr;
    std::unique_ptr<HAUPT> window;
};

TEST_F(HauptTest, StartsWithTheDesignDefaultsAtItsPixelsInTabOrder)
{
    EXPECT_THROW(HAUPT(nullptr), std::invalid_argument) << "a window without a service";
    EXPECT_EQ(window->windowTitle(), QStringLiteral("?"));
    for (int i = 0; i < kComPortCount; ++i)  // "*" checked, "-" disabled
        EXPECT_EQ(comPort(i)->text() + (comPort(i)->isChecked() ? "*" : "") + (comPort(i)->isEnabled() ? "" : "-"),
                  QStringLiteral("COM %1").arg(i + 1) + (i == 0 ? "*" : ""));
    EXPECT_EQ(text("Text_IMPULSLÄNGE|Text_ANZAHL_IMPULSE|Text_FREQUENZ|txtFMax|txtFMin|txtIMax|txtIMin|Text_SETTINGS"),
              QStringLiteral("|||||1000|10|9600,n,8,1"));
    for (const char* button : {"optSignal_0", "Check_DTR", "Check_RTS", "Check_BEEP"})
        EXPECT_EQ(control<QAbstractButton>(button)->isChecked(), qstrcmp(button, "Check_BEEP") != 0) << button;
    EXPECT_EQ(colour("lblMM"), QStringLiteral("#c00000"));
    std::set<int> lineWidths;  // in the font the buttons draw them in
    for (const auto* line : window->findChildren<QRadioButton*>(QRegularExpression(QStringLiteral("^optSignal_"))))
        lineWidths.insert(line->fontMetrics().horizontalAdvance(line->text()));
    EXPECT_EQ(lineWidths.size(), 1u);
    EXPECT_EQ(control<QTimer>("Timer1")->interval(), 1000);

    const std::tuple<const char*, const char*, QRect> rows[] = {
        {"Option_COMPORT_1", "Frame1", QRect(12, 32, 67, 13)},
        {"Frame_OPEN", "Frame2", QRect(20, 244, 129, 57)},
        {"Text_IMPULSLÄNGE", "HAUPT_client", QRect(352, 104, 109, 21)}};
    for (const auto& [name, container, pixels] : rows) {
        EXPECT_EQ(control(name)->parentWidget()->objectName(), container) << name;
        EXPECT_EQ(control(name)->geometry(), pixels) << name;
    }
    QWidget* client = window->centralWidget();
    EXPECT_EQ(client->size(), QSize(637, 342));
    // Every control, not the unnamed parts Qt adds inside one, lies inside its container.
    const auto controls = client->findChildren<QWidget*>(QRegularExpression(QStringLiteral(".")));
    for (const QWidget* widget : controls)
        EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry())) << widget->objectName().toStdString();
    EXPECT_EQ(controls.size(), 5 + 20 + 4 + 3 + 8 + 10);  // frames, options, buttons, check boxes, text boxes, labels

    // The pulse length lies over Frame3, not hidden by it.
    const QWidget* length = control("Text_IMPULSLÄNGE");
    EXPECT_EQ(client->childAt(length->geometry().center()), length);

    QStringList chain{"0"};  // the COM options by number, from the first round to it again
    for (QWidget* w = comPort(0)->nextInFocusChain(); w != comPort(0); w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus)
            chain << w->objectName().remove(QStringLiteral("Option_COMPORT_"));
    EXPECT_EQ(chain.join(u' '), QStringLiteral("0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 Command_SCAN 15 Check_DTR Check_RTS "
                                               "Command_CLOSE Command_OPEN Text_ANZAHL_IMPULSE Text_FREQUENZ Check_BEEP "
                                               "Text_SETTINGS Command_CLEAR Text_IMPULSLÄNGE optSignal_1 optSignal_2 "
                                               "optSignal_3 optSignal_0 txtFMax txtFMin txtIMax txtIMin"));
}

TEST_F(HauptTest, EdgesReachTheReadoutsOnceAFrameAndTheRealTimerTicksThemIntoFrequency)
{
    const QString readouts = "Text_ANZAHL_IMPULSE|Text_IMPULSLÄNGE|Text_FREQUENZ|txtFMax|txtFMin";
    // 30 DCD edges 10 ms apart in the first second of the ticks' clock: 15 whole pulses, inside 10 .. 1000.
    const auto t0 = std::chrono::steady_clock::time_point(1s);
    for (int i = 0; i < 30; ++i)
        fake->raise(serial::comEvCD, {t0 + i * 10ms, 1.0 + i / 100.0});
    EXPECT_EQ(text(readouts), QStringLiteral("15|0.020ms|||"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return !text("Text_FREQUENZ").isEmpty(); }, 2500));
    EXPECT_EQ(text(readouts), QStringLiteral("15|0.020ms|15 Hz|15 Hz|15 Hz"));
    EXPECT_EQ(indicator(), QStringLiteral("Max Min activ#00ff00"));

    click("Command_CLEAR");  // below the lower limit: red on the next tick
    EXPECT_TRUE(QTest::qWaitFor([this] { return indicator() == QStringLiteral("Max Min nicht activ#ff0000"); }, 2500));

    // Edges while the event loop runs reach the widget at most once a display
    // frame, and at least every second one.
    QSignalSpy written(control<QLineEdit>("Text_ANZAHL_IMPULSE"), &QLineEdit::textChanged);
    QElapsedTimer writing;
    writing.start();
    for (int i = 0; writing.elapsed() < 200; ++i) {
        fake->raise(serial::comEvCD, {t0 + 2s + i * 1ms, 2.0});
        QCoreApplication::processEvents();
    }
    EXPECT_LE(written.count(), writing.elapsed() / 16 + 2);
    EXPECT_GE(written.count(), writing.elapsed() / 32 - 1);
}

// The scan button and Ende reach their handlers (what the handlers do is
// the port handlers' to show; the kernel tier clicks Open, Close and Clear and
// unplugs a port). The frame's colour must really be drawn, not only stored:
// the style shades the panel a little.
TEST_F(HauptTest, ButtonsMenuMessageBoxAndCloseBoxReachTheirHandlersAndTheFrameColourIsDrawn)
{
    fake->existingPorts = {1, 3};
    click("Command_OPEN");
    handedOn();
    const QColor drawn = control("Frame_OPEN")->grab().toImage().pixelColor(control("Frame_OPEN")->width() / 2, 8);
    EXPECT_TRUE(drawn.green() > 230 && drawn.red() + drawn.blue() < 30) << drawn.name().toStdString();
    click("Command_SCAN");
    EXPECT_TRUE(comPort(2)->isEnabled());
    EXPECT_FALSE(comPort(1)->isEnabled());

    // Ende closes the port and ends the loop, as the close box does.
    click("Command_OPEN");
    ASSERT_TRUE(fake->PortOpen());
    window->show();
    QTimer::singleShot(0, window.get(), [this] { control<QAction>("Menue_Ende")->trigger(); });
    EXPECT_EQ(QApplication::exec(), 0);  // a loop that never ends fails by the test timeout
    EXPECT_FALSE(fake->PortOpen());

    // The real box: titled, one OK button, the handler's text. Timer1 goes on
    // ticking while it waits; it is answered here after more than a tick.
    makeWindow(nullptr);
    QStringList seen;
    QTimer::singleShot(1500ms, window.get(), [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        seen = {box->windowTitle(), box->text(), QString::number(box->buttons().size()),
                box->button(QMessageBox::Ok) ? "OK" : "no OK", text("Text_FREQUENZ")};
        box->close();
    });
    click("Command_OPEN");  // no port exists
    EXPECT_EQ(seen, (QStringList{"Impulsmeter", "COM 1 kann nicht geöffnet werden", "1", "OK", "0 Hz"}));
    window->show();
    QTimer::singleShot(0, window.get(), [this] { window->close(); });
    EXPECT_EQ(QApplication::exec(), 0) << "the close box ends it too";
}

// "Messung" lies between "Datei" and "?"; its "Entprellzeit…" asks with the
// time in force and sets the whole ms typed; a cancel, or a time the service
// refuses, leaves it. The real dialog holds the range 0 to 1000.
TEST_F(HauptTest, TheDebounceDialogShowsTheTimeInForceAndSetsWhatIsTyped)
{
    QStringList seen;
    for (const QAction* menu : window->menuBar()->actions())
        seen << menu->text();
    for (const int typed : {1001, 5, -1}) {  // -1: cancelled
        QTimer::singleShot(0, window.get(), [&] {
            auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            seen << QStringLiteral("%1..%2:%3").arg(dialog->intMinimum()).arg(dialog->intMaximum()).arg(dialog->intValue());
            dialog->setIntValue(typed);
            typed < 0 ? dialog->reject() : dialog->accept();
        });
        control<QAction>("Menue_ENTPRELLZEIT")->trigger();
        seen << QString::number(fake->debounce.count());
    }
    EXPECT_EQ(seen.join(u' '), QStringLiteral("Datei &Messung ? 0..1000:0 1000 0..1000:1000 5 0..1000:5 5"));
}

}  // namespace
