#include "fake_serial_line_service.h"
#include "haupt.h"

#include <QtTest>
#include <QtWidgets>
#include <qcustomplot.h>

#include <gtest/gtest.h>

#include <ranges>

using namespace std::chrono_literals;

namespace {

// The real window offscreen, holding the test double as its service; the
// fixture answers the message box at once, keeping what it was asked.
class HauptTest : public ::testing::Test, public MessageBox, public recording::FileDialog {
protected:
    HauptTest() { makeWindow(this); }
    void MsgBox(const QString& text) override { shown << text; }
    QString saveFileName() override { return answer; }
    void makeWindow(MessageBox* box)
    {
        auto service = std::make_unique<FakeSerialLineService>();
        fake = service.get();
        // Each tick reads a second after the one before, however late a loaded machine runs it.
        window = std::make_unique<HAUPT>(std::move(service), box, nullptr,
                                         [t = std::chrono::steady_clock::time_point()]() mutable { return t += 1s; }, this);
    }
    template <typename T = QWidget> T* control(const QString& name) const { return window->findChild<T*>(name); }
    // Texts and colours reach the widgets once a display frame: checks look
    // at what is shown once the due hand-over is done.
    bool handedOn() const { return QTest::qWaitFor([this] { return !control<QTimer>("readoutFrame")->isActive(); }); }
    // The texts of the boxes (or labels) named, '|' between names and texts.
    QString text(const QString& names) const
    {
        handedOn();
        QStringList texts;
        for (const QString& name : names.split(u'|'))
            texts << control(name)->property("text").toString();
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
    QString answer;
    FakeSerialLineService* fake = nullptr;
    std::unique_ptr<HAUPT> window;
};

TEST_F(HauptTest, StartsWithTheDesignDefaultsAtItsPixelsInTabOrderWithNoControlOnAFramesBorder)
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
    // The layout is fixed in twips: so is the window, with no maximise button.
    window->layout()->activate();
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);

    const std::tuple<const char*, const char*, QRect> rows[] = {{"Option_COMPORT_1", "Frame1", QRect(12, 32, 67, 13)},
        {"Frame_OPEN", "Frame2", QRect(20, 244, 129, 57)}, {"Text_IMPULSLÄNGE", "HAUPT_client", QRect(352, 104, 109, 21)}};
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
    EXPECT_EQ(client->childAt(control("Text_IMPULSLÄNGE")->geometry().center()), control("Text_IMPULSLÄNGE"));

    QStringList chain{"0"};  // the COM options by number, from the first round to it again
    for (QWidget* w = comPort(0)->nextInFocusChain(); w != comPort(0); w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus)
            chain << w->objectName().remove(QStringLiteral("Option_COMPORT_"));
    EXPECT_EQ(chain.join(u' '), QStringLiteral("0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 Command_SCAN 15 Check_DTR Check_RTS "
                                               "Command_CLOSE Command_OPEN Text_ANZAHL_IMPULSE Text_FREQUENZ Check_BEEP "
                                               "Text_SETTINGS Command_CLEAR Text_IMPULSLÄNGE optSignal_1 optSignal_2 "
                                               "optSignal_3 optSignal_0 txtFMax txtFMin txtIMax txtIMin"));

    // A frame's border is found in its own drawing, without its children: a row
    // drawn all across the frame's right quarter. No control lies on one.
    for (QGroupBox* frame : window->findChildren<QGroupBox*>()) {
        QImage drawn(frame->size(), QImage::Format_RGB32);
        drawn.fill(Qt::magenta);
        frame->render(&drawn, {}, {}, QWidget::RenderFlags());
        const auto border = [&](int y) {
            const auto xs = std::views::iota(drawn.width() * 3 / 4, drawn.width() - 4);
            return std::ranges::none_of(xs, [&](int x) { return drawn.pixelColor(x, y) == Qt::magenta; });
        };
        const std::string name = frame->objectName().toStdString();
        EXPECT_GE(std::ranges::count_if(std::views::iota(0, drawn.height()), border), 2) << name << ": top and bottom";
        for (const QWidget* inside : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            for (int y = inside->y(); y <= inside->geometry().bottom(); ++y)
                EXPECT_FALSE(border(y)) << inside->objectName().toStdString() << " lies on " << name << "'s border";
    }
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
    EXPECT_TRUE(comPort(2)->isEnabled() && !comPort(1)->isEnabled());

    // Ende, by the quit keys or the menus' mnemonics, closes the port and
    // ends the loop, as the close box does.
    for (const char* keys : {"Ctrl+Q", "Alt+D, E"}) {
        click("Command_OPEN");
        ASSERT_TRUE(fake->PortOpen());
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        QTimer::singleShot(0, window.get(), [&] {
            QTest::keySequence(static_cast<QWidget*>(nullptr), QKeySequence(QString::fromLatin1(keys)));  // to the focus
            if (window->isVisible())  // the keys did nothing
                QCoreApplication::exit(1);
        });
        EXPECT_EQ(QApplication::exec(), 0) << keys;
        EXPECT_FALSE(fake->PortOpen());
    }

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
}

// The new menus, the debounce dialog, the history window and a recording, fed by the real timer:
// "C" restarts the statistics and marks the chart, and closing the main
// window ends the program with "Verlauf" open. A recording that fails is the
// recording test's: it ends with its message through the same change the stop makes.
TEST_F(HauptTest, NewMenusTheDebounceDialogHistoryWindowAndRecordingFollowTheTicks)
{
    QStringList menus;  // "-" greyed
    for (const QAction* entry : window->menuBar()->actions()) {
        menus << entry->text();
        for (const QAction* item : entry->menu() ? entry->menu()->actions() : QList<QAction*>())
            menus << QStringLiteral("  ") + (item->isSeparator() ? "|" : item->text()) + (item->isEnabled() ? "" : "-");
    }
    EXPECT_EQ(menus.join(u'/'),
              "&Datei/  &Aufzeichnen…/  Aufzeichnung &beenden-/  |/  &Ende/&Messung/  &Verlauf/  &Entprellzeit…/?");

    // "Entprellzeit…" asks with the time in force and sets the whole ms typed; a cancel, or a time the service
    // refuses, leaves it. The real dialog holds the range 0 to 1000.
    QStringList seen;
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
    EXPECT_EQ(seen.join(u' '), QStringLiteral("0..1000:0 1000 0..1000:1000 5 0..1000:5 5"));

    fake->existingPorts = {1};
    click("Command_OPEN");
    control<QAction>("Menue_VERLAUF")->trigger();
    QTemporaryDir dir;
    answer = dir.filePath("lauf.csv");
    control<QAction>("Menue_AUFZEICHNEN")->trigger();
    const auto on = [this](const char* entry) { return control<QAction>(entry)->isEnabled() ? "+" : "-"; };
    // What the window says of the recording, and its entries: "+" enabled, "-" greyed.
    const auto recording = [&] { return text("lblDatei") + on("Menue_AUFZEICHNEN") + on("Menue_AUFZEICHNUNG_BEENDEN"); };
    EXPECT_EQ(recording(), "Aufzeichnung in " + answer + "-+");
    control<QRadioButton>("optSignal_2")->setChecked(true);
    const auto t0 = std::chrono::steady_clock::time_point(1s);  // the first second of the ticks' clock
    for (int i = 0; i < 30; ++i)
        fake->raise(serial::comEvCTS, {t0 + i * 1ms, 1.0});
    ASSERT_TRUE(QTest::qWaitFor([&] { return text("lblN") == "2"; }, 3500));  // two ticks, each recorded
    control<QAction>("Menue_AUFZEICHNUNG_BEENDEN")->trigger();
    EXPECT_EQ(text("lblN|lblImpulse|lblMittelwert|lblS|lblMin|lblMax|lblSE"), "2|15|7,500 Hz|10,607 Hz|0 Hz|15 Hz|7,500 Hz");
    QFile file(answer);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    EXPECT_TRUE(lines.value(1).endsWith(";COM 1;CTS Pin 8;30;15;1") && lines.value(2).endsWith(";COM 1;CTS Pin 8;0;0;1"))
        << lines.join(u'/').toStdString();
    EXPECT_EQ(recording(), "Keine Aufzeichnung+-");

    click("Command_CLEAR");
    EXPECT_TRUE(QTest::qWaitFor([this] { return control<QLabel>("lblN")->text() == "1"; }, 2500));
    EXPECT_EQ(control("Diagramm")->findChildren<QCPItemStraightLine*>().size(), 3) << "FMax, FMin and the mark of C";

    QWidget* verlauf = control("VERLAUF");
    verlauf->close();
    EXPECT_TRUE(verlauf->isHidden() && control("VERLAUF") == verlauf);
    window->show();
    control<QAction>("Menue_VERLAUF")->trigger();
    QTimer::singleShot(0, window.get(), [this] { window->close(); });
    EXPECT_EQ(QApplication::exec(), 0) << "the close box ends it too, with the history open";
}

}  // namespace
