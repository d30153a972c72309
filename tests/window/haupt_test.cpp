#include "fake_serial_line_service.h"
#include "haupt.h"
#include "twips.h"

#include <QtTest>
#include <QtWidgets>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Answers the message box and the beep at once, keeping what they were asked.
struct Scripted : MessageBox, measurement::Beeper {
    void MsgBox(const QString& text) override { shown << text; }
    void Beep() override { ++beeps; }
    QStringList shown;
    int beeps = 0;
};

// Runs the application's event loop until something ends it; a watchdog
// ends it with 1 after 3 s, so a window that fails to quit fails the test.
int runEventLoop()
{
    const QObject watchdog;
    QTimer::singleShot(3s, &watchdog, [] { QCoreApplication::exit(1); });
    return QApplication::exec();
}

// The real window holding the test double as its service.
class HauptTest : public ::testing::Test {
protected:
    void SetUp() override { makeWindow(&scripted); }
    void makeWindow(MessageBox* box)
    {
        auto service = std::make_unique<FakeSerialLineService>();
        fake = service.get();
        // Each tick reads a second after the one before, however late a loaded machine runs it.
        window = std::make_unique<HAUPT>(std::move(service), box, &scripted,
                                         [now = std::chrono::steady_clock::time_point()]() mutable {
                                             return now += std::chrono::seconds(1);
                                         });
    }

    template <typename T = QWidget>
    T* control(const QString& name) const
    {
        auto* found = window->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    // Texts and colours reach the widgets once a display frame: checks look
    // at what is shown once the due hand-over is done.
    void shown() const { EXPECT_TRUE(QTest::qWaitFor([this] { return !control<QTimer>("readoutFrame")->isActive(); })); }
    QString text(const QString& name) const { shown(); return control<QLineEdit>(name)->text(); }
    QRadioButton* comPort(int i) const { return control<QRadioButton>(QStringLiteral("Option_COMPORT_%1").arg(i)); }
    // The colour a frame or label fills its background with.
    QColor background(const QString& name) const { shown(); return control(name)->palette().color(control(name)->backgroundRole()); }
    void click(const QString& name) const { QTest::mouseClick(control(name), Qt::LeftButton, {}, QPoint(4, 6)); }

    Scripted scripted;
    FakeSerialLineService* fake = nullptr;
    std::unique_ptr<HAUPT> window;
};

TEST_F(HauptTest, StartsWithTheDesignDefaults)
{
    EXPECT_EQ(window->windowTitle(), QStringLiteral("?"));
    for (int i = 0; i < kComPortCount; ++i)
        EXPECT_TRUE(comPort(i)->text() == QStringLiteral("COM %1").arg(i + 1) && comPort(i)->isEnabled() &&
                    comPort(i)->isChecked() == (i == 0) && !comPort(i)->toolTip().isEmpty()) << i;
    // Start text and the name a screen reader gives each box.
    const char* boxes[][3] = {
        {"Text_IMPULSLÄNGE", "", "Impulslänge"}, {"Text_ANZAHL_IMPULSE", "", "Anzahl Impulse"},
        {"Text_FREQUENZ", "", "Frequenz"},        {"txtFMax", "", "Max"},
        {"txtFMin", "", "Min"},                   {"txtIMax", "1000", "Impulse Maxwert"},
        {"txtIMin", "10", "Impulse Minwert"},     {"Text_SETTINGS", "9600,n,8,1", "Settings"},
    };
    for (const auto& [box, start, name] : boxes)
        EXPECT_EQ(text(box) + u'|' + control(box)->accessibleName(), QString::fromUtf8(start) + u'|' + name) << box;
    EXPECT_TRUE(control<QRadioButton>("optSignal_0")->isChecked() && control<QCheckBox>("Check_DTR")->isChecked() &&
                control<QCheckBox>("Check_RTS")->isChecked() && !control<QCheckBox>("Check_BEEP")->isChecked());
    EXPECT_EQ(background("lblMM"), QColor(192, 0, 0));
    // The line captions line up: equally wide in the font the buttons draw them in.
    QStringList widths;
    for (int i = 0; i < kSignalCount; ++i) {
        const auto* line = control<QRadioButton>(QStringLiteral("optSignal_%1").arg(i));
        widths << QString::number(line->fontMetrics().horizontalAdvance(line->text()));
    }
    EXPECT_EQ(widths.count(widths.front()), kSignalCount) << widths.join(u' ').toStdString();

    const auto* timer = control<QTimer>("Timer1");
    EXPECT_TRUE(timer && timer->isActive() && timer->interval() == 1000 && timer->timerType() == Qt::PreciseTimer);
}

TEST_F(HauptTest, PlacesEveryControlAtItsDesignPixelsInsideItsContainerInTabOrder)
{
    // Each edge is rounded on its own: 8 twips round up, 22 down, so 14 twips there have no width.
    EXPECT_EQ(window::pixelRect({8, 0, 14, 22}), QRect(1, 0, 0, 1));
    const std::tuple<const char*, const char*, QRect> rows[] = {
        {"Option_COMPORT_1", "Frame1", QRect(12, 32, 67, 13)},
        {"Frame_OPEN", "Frame2", QRect(20, 244, 129, 57)},
        {"Text_IMPULSLÄNGE", "HAUPT_client", QRect(352, 104, 109, 21)},
    };
    for (const auto& [name, container, pixels] : rows) {
        EXPECT_EQ(control(name)->parentWidget()->objectName(), QString::fromUtf8(container)) << name;
        EXPECT_EQ(control(name)->geometry(), pixels) << name;
    }
    QWidget* client = window->centralWidget();
    EXPECT_EQ(client->size(), QSize(637, 342));

    int controls = 0;
    for (const QWidget* widget : client->findChildren<QWidget*>()) {
        if (widget->objectName().isEmpty())
            continue;  // parts Qt adds inside a control
        ++controls;
        EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry())) << widget->objectName().toStdString();
    }
    EXPECT_EQ(controls, 5 + 20 + 4 + 3 + 8 + 10);  // frames, options, buttons, check boxes, text boxes, labels

    // The pulse length heads the readout column and lies over Frame3, not hidden by it.
    QWidget* length = control("Text_IMPULSLÄNGE");
    for (const char* box : {"Text_ANZAHL_IMPULSE", "Text_FREQUENZ", "txtFMax", "txtFMin"})
        EXPECT_EQ(control(box)->mapTo(client, QPoint()).x(), length->x()) << box;
    EXPECT_TRUE(control("Frame3")->geometry().contains(length->geometry()));
    EXPECT_EQ(client->childAt(length->geometry().center()), length);

    // Tab goes through the controls in design order.
    QStringList expected;
    for (int i = 0; i < 15; ++i)
        expected << QStringLiteral("Option_COMPORT_%1").arg(i);
    expected += QStringLiteral("Command_SCAN Option_COMPORT_15 Check_DTR Check_RTS Command_CLOSE Command_OPEN "
                               "Text_ANZAHL_IMPULSE Text_FREQUENZ Check_BEEP Text_SETTINGS Command_CLEAR Text_IMPULSLÄNGE "
                               "optSignal_1 optSignal_2 optSignal_3 optSignal_0 txtFMax txtFMin txtIMax txtIMin")
                    .split(u' ');
    QStringList chain{comPort(0)->objectName()};
    for (QWidget* w = comPort(0)->nextInFocusChain(); w != comPort(0) && chain.size() <= expected.size();
         w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus)
            chain << w->objectName();
    EXPECT_EQ(chain, expected);
}

TEST_F(HauptTest, ChosenLinesEdgesReachTheReadoutsAndTheRealTimerTicksThemIntoFrequency)
{
    const QStringList boxes{"Text_ANZAHL_IMPULSE", "Text_IMPULSLÄNGE", "Text_FREQUENZ", "txtFMax", "txtFMin"};
    const auto readouts = [&] { QStringList now; for (const QString& b : boxes) now << text(b); return now; };
    const auto indicator = [this] { return control("lblMM")->accessibleDescription() + background("lblMM").name(); };
    // 30 DCD edges 10 ms apart before the first tick: 15 whole pulses, inside 10 .. 1000.
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i) {
        fake->raise(serial::comEvCD, {t0 + i * 10ms, 1.0 + i / 100.0});
        fake->raise(serial::comEvCTS, {t0 + i * 10ms + 5ms, 1.0});  // not the chosen line
    }
    // Thirty writes of each readout: a read through the view has the last at
    // once, the widget gets it in one hand-over.
    EXPECT_EQ(window->view().text(TextBox::Text_ANZAHL_IMPULSE), QStringLiteral("15"));
    QSignalSpy handedOn(control<QLineEdit>("Text_ANZAHL_IMPULSE"), &QLineEdit::textChanged);
    EXPECT_EQ(readouts(), (QStringList{"15", "0.020ms", "", "", ""}));
    EXPECT_EQ(handedOn.count(), 1);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !text("Text_FREQUENZ").isEmpty(); }, 2500));
    EXPECT_EQ(readouts(), (QStringList{"15", "0.020ms", "15 Hz", "15 Hz", "15 Hz"}));
    EXPECT_EQ(indicator(), "Max Min activ#00ff00");

    // A second without edges: the lowest frequency drops, the highest stays.
    EXPECT_TRUE(QTest::qWaitFor([this] { return text("Text_FREQUENZ") == QStringLiteral("0 Hz"); }, 2500));
    EXPECT_EQ(readouts().mid(2), (QStringList{"0 Hz", "15 Hz", "0 Hz"}));

    // C resets the count: below the lower limit the indicator turns red on the next tick.
    click("Command_CLEAR");
    EXPECT_TRUE(QTest::qWaitFor([&] { return indicator() == "Max Min nicht activ#ff0000"; }, 2500));

    click("Check_BEEP");
    fake->raise(serial::comEvRing, {std::chrono::steady_clock::now(), 2.0});
    EXPECT_EQ(scripted.beeps, 1) << "only once asked to, but for every event, chosen line or not";

    // Edges while the event loop runs reach the widget at most once a display frame.
    handedOn.clear();
    QElapsedTimer writing;
    writing.start();
    for (int i = 0; writing.elapsed() < 200; ++i) {
        fake->raise(serial::comEvCD, {t0 + 2s + i * 1ms, 2.0});
        QCoreApplication::processEvents();
    }
    EXPECT_LE(handedOn.count(), writing.elapsed() / 16 + 2);
}

// Each button and a lost port reach their handler (what the handlers do is
// the port handlers' to show); the frame's colour must really be drawn, not
// only stored: the style shades the panel a little.
TEST_F(HauptTest, ButtonsAndALostPortReachTheirHandlersAndTheFrameColourIsDrawn)
{
    fake->existingPorts = {1, 3};
    click("Command_OPEN");
    EXPECT_EQ(window->windowTitle(), QStringLiteral("COM 1  9600,n,8,1"));
    shown();
    const QColor drawn = control("Frame_OPEN")->grab().toImage().pixelColor(control("Frame_OPEN")->width() / 2, 8);
    EXPECT_TRUE(drawn.green() > 230 && drawn.red() + drawn.blue() < 30) << drawn.name().toStdString();
    fake->losePort();
    EXPECT_EQ(background("Frame_OPEN"), window->palette().color(QPalette::Button));
    click("Command_OPEN");
    click("Command_CLOSE");
    EXPECT_TRUE(window->windowTitle() == QStringLiteral("close") && !fake->PortOpen());
    click("Command_SCAN");
    EXPECT_TRUE(comPort(2)->isEnabled() && !comPort(1)->isEnabled());
    EXPECT_TRUE(scripted.shown.isEmpty());
}

// Texts no one should type, in every box: edges still overwrite the edge
// readouts, and a tick on such limits completes with the window shut and
// leaves the user's text as typed. How each reads as a limit is the limit
// reader's to show.
TEST_F(HauptTest, BadTextsInEveryBoxLeaveEveryHandlerItsWay)
{
    auto* timer = control<QTimer>("Timer1");
    timer->stop();
    timer->setSingleShot(true);  // one real tick through the event loop when started
    const QString texts[] = {QString(), QString(10000, u'7'), QString(10000, u'x'),
                             QString::fromUtf8("\x01\x02\t\n\r\x1b\x7f" "5"),
                             QString::fromUtf8("\xff\xfe\xc0\xaf" "5\xed\xa0\x80"), QStringLiteral("NaN")};
    auto at = std::chrono::steady_clock::now();
    for (const QString& bad : texts) {
        for (QLineEdit* box : window->findChildren<QLineEdit*>())
            box->setText(bad);
        fake->raise(serial::comEvCD, {at += 1s, 3600.0});
        fake->raise(serial::comEvCD, {at += 50ms, 3600.05});
        EXPECT_EQ(text("Text_IMPULSLÄNGE"), QStringLiteral("0.100ms"));
        QSignalSpy ticked(timer, &QTimer::timeout);
        timer->start(1);
        EXPECT_TRUE(ticked.wait(2000));
        EXPECT_EQ(text("Text_FREQUENZ"), QStringLiteral("1 Hz"));
        EXPECT_EQ(background("lblMM"), QColor(255, 0, 0));
        EXPECT_TRUE(text("txtIMax") == bad && window->state().FREQUENZ == 0);
    }
}

// The real box: titled, one OK button, the handler's text. Timer1 goes on
// ticking while it waits; it is answered here after more than a tick.
TEST_F(HauptTest, RealMessageBoxHasOneOkButtonAndTicksGoOnWhileItWaits)
{
    makeWindow(nullptr);
    QStringList seen;
    QTimer answer;
    answer.callOnTimeout([&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            seen = {box->windowTitle(), box->text(), QString::number(box->buttons().size()),
                    box->button(QMessageBox::Ok) ? "OK" : "no OK", text("Text_FREQUENZ")};
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    answer.start(1500ms);
    click("Command_OPEN");  // no port exists
    EXPECT_EQ(seen, (QStringList{"Impulsmeter", "COM 1 kann nicht geöffnet werden", "1", "OK", "0 Hz"}));
}

TEST_F(HauptTest, HelpChangesNothingEndeClosesThePortAndEndsTheLoopAsTheCloseBoxDoes)
{
    fake->existingPorts = {1};
    click("Command_OPEN");
    window->show();
    shown();
    const QImage before = window->centralWidget()->grab().toImage();
    ASSERT_EQ(control<QAction>("Menue_HILFE")->text(), QStringLiteral("?"));
    control<QAction>("Menue_HILFE")->trigger();
    QCoreApplication::processEvents();
    EXPECT_TRUE(window->centralWidget()->grab().toImage() == before) << "every control looks as it did";
    EXPECT_TRUE(window->windowTitle() == QStringLiteral("COM 1  9600,n,8,1") && fake->PortOpen());

    QTimer::singleShot(0, window.get(), [this] { control<QAction>("Menue_Ende")->trigger(); });
    EXPECT_EQ(runEventLoop(), 0);
    EXPECT_FALSE(fake->PortOpen() || window->isVisible() || control<QTimer>("Timer1")->isActive());

    makeWindow(&scripted);
    window->show();
    QTimer::singleShot(0, window.get(), [this] { window->close(); });
    EXPECT_EQ(runEventLoop(), 0) << "the close box ends it too";
}

TEST(StartWithoutWhatItNeeds, RefusesClearly)
{
    EXPECT_THROW(HAUPT(nullptr), std::invalid_argument);

    // The program without a display says so in one line and exits with 2.
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(IMPULSMETER_BINARY), {});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_TRUE(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 2) << program.exitCode();
    const QString err = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_TRUE(err.count(QLatin1Char('\n')) == 1 && err.contains(QStringLiteral("xvfb-run"))) << err.toStdString();
}

}  // namespace
