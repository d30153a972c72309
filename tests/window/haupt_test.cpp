#include "haupt_fixture.h"
#include "twips.h"

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <chrono>

using namespace std::chrono_literals;

namespace {

// Runs the application's event loop until something ends it; a watchdog
// ends it with 1 after `limit`, so a window that fails to quit fails the test.
int runEventLoop(std::chrono::milliseconds limit)
{
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    watchdog.start(limit);
    return QApplication::exec();
}

// Every widget's visible state, to show that something changed nothing.
QString snapshot(const QWidget& window)
{
    QString s = window.windowTitle();
    for (const QWidget* w : window.findChildren<QWidget*>()) {
        s += QLatin1Char('|') + w->objectName() + QLatin1Char(':') + (w->isEnabled() ? u'e' : u'd') +
             w->palette().color(w->backgroundRole()).name();
        if (auto* edit = qobject_cast<const QLineEdit*>(w))
            s += edit->text();
        if (auto* button = qobject_cast<const QAbstractButton*>(w))
            s += button->text() + (button->isChecked() ? u'x' : u'o');
    }
    return s;
}

}  // namespace

TEST_F(HauptTest, StartsWithTheDesignDefaultsAndLoadedPortOptions)
{
    EXPECT_EQ(window->windowTitle(), QStringLiteral("?"));
    for (int i = 0; i < kComPortCount; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(comPort(i)->text(), QStringLiteral("COM %1").arg(i + 1));
        EXPECT_TRUE(comPort(i)->isEnabled());
        EXPECT_EQ(comPort(i)->width(), 67);  // 1000 twips from 180: edges 12 and 79
        EXPECT_EQ(comPort(i)->isChecked(), i == 0);
        EXPECT_FALSE(comPort(i)->toolTip().isEmpty());  // names the device, or that there is none
    }
    EXPECT_TRUE(control<QRadioButton>(QStringLiteral("optSignal_0"))->isChecked());
    for (const char* readout : {"Text_IMPULSLÄNGE", "Text_ANZAHL_IMPULSE", "Text_FREQUENZ", "txtFMax", "txtFMin"})
        EXPECT_EQ(text(readout), QString()) << readout;
    EXPECT_EQ(text("txtIMin"), QStringLiteral("10"));
    EXPECT_EQ(text("txtIMax"), QStringLiteral("1000"));
    EXPECT_EQ(text("Text_SETTINGS"), QStringLiteral("9600,n,8,1"));
    EXPECT_TRUE(control<QCheckBox>(QStringLiteral("Check_DTR"))->isChecked());
    EXPECT_TRUE(control<QCheckBox>(QStringLiteral("Check_RTS"))->isChecked());
    EXPECT_FALSE(control<QCheckBox>(QStringLiteral("Check_BEEP"))->isChecked());
    EXPECT_EQ(control<QCheckBox>(QStringLiteral("Check_DTR"))->text(), QStringLiteral("DTR "));
    EXPECT_EQ(control<QRadioButton>(QStringLiteral("optSignal_3"))->text(), QStringLiteral("RI  Pin 9"));
    EXPECT_EQ(control<QCheckBox>(QStringLiteral("Check_BEEP"))->text(), QStringLiteral("Beep bei \"OnComm\" Ereignis"));
    EXPECT_EQ(background("lblMM"), QColor(192, 0, 0));
    EXPECT_NE(control(QStringLiteral("lblMM"))->accessibleDescription(), QStringLiteral("Max Min activ"));

    auto* timer = window->findChild<QTimer*>(QStringLiteral("Timer1"));
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 1000);
    EXPECT_EQ(timer->timerType(), Qt::PreciseTimer);
    EXPECT_EQ(window->state().FMax, measurement::kFMaxPrimed);
    EXPECT_EQ(window->state().FMin, measurement::kFMinPrimed);
}

TEST_F(HauptTest, LineCaptionsShareOneMonospacedWidth)
{
    const QFont font = control(QStringLiteral("optSignal_0"))->font();
    EXPECT_TRUE(QFontInfo(font).fixedPitch()) << QFontInfo(font).family().toStdString();
    const QFontMetrics metrics(font);
    for (int i = 1; i < kSignalCount; ++i) {
        auto* line = control<QRadioButton>(QStringLiteral("optSignal_%1").arg(i));
        EXPECT_EQ(metrics.horizontalAdvance(line->text()), metrics.horizontalAdvance(QStringLiteral("DCD Pin 1")));
    }
    EXPECT_TRUE(control(QStringLiteral("Command_OPEN"))->font().bold());
}

TEST(TwipsToPixels, RoundsEachEdgeOnItsOwn)
{
    // 8 twips round up, 22 round down: a 14-twip box there has no width.
    const QRect r = window::pixelRect({8, 0, 14, 22});
    EXPECT_EQ(r.left(), 1);
    EXPECT_EQ(r.width(), 0);
    EXPECT_EQ(r.height(), 1);
}

TEST_F(HauptTest, PlacesControlsAtTheirDesignPixels)
{
    struct Row {
        const char* name;
        const char* container;
        QRect pixels;
    };
    const Row rows[] = {
        {"Frame1", "HAUPT_client", QRect(12, 4, 133, 313)},
        {"Command_SCAN", "Frame1", QRect(12, 280, 85, 21)},
        {"Option_COMPORT_1", "Frame1", QRect(12, 32, 67, 13)},
        {"Command_OPEN", "Frame_OPEN", QRect(8, 16, 113, 29)},
        {"Frame_OPEN", "Frame2", QRect(20, 244, 129, 57)},
        {"Text_IMPULSLÄNGE", "HAUPT_client", QRect(352, 104, 109, 21)},
        {"optSignal_1", "Frame4", QRect(4, 32, 89, 14)},
        {"lblMM", "HAUPT_client", QRect(508, 164, 17, 17)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QWidget* widget = control(QString::fromUtf8(row.name));
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->parentWidget()->objectName(), QString::fromUtf8(row.container));
        EXPECT_EQ(widget->geometry(), row.pixels);
    }
    EXPECT_EQ(window->centralWidget()->size(), QSize(637, 342));
}

TEST_F(HauptTest, KeepsEveryControlInsideItsContainer)
{
    int controls = 0;
    for (const QWidget* widget : window->centralWidget()->findChildren<QWidget*>()) {
        if (widget->objectName().isEmpty())
            continue;  // parts Qt adds inside a control
        ++controls;
        EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry()))
            << widget->objectName().toStdString();
    }
    EXPECT_EQ(controls, 5 + 20 + 4 + 3 + 8 + 10);  // frames, options, buttons, check boxes, text boxes, labels
}

TEST_F(HauptTest, DrawsThePulseLengthInTheColumnOverFrame3)
{
    QWidget* client = window->centralWidget();
    auto* length = control(QStringLiteral("Text_IMPULSLÄNGE"));
    auto* frame3 = control(QStringLiteral("Frame3"));
    const auto left = [client](const char* name) {
        auto* w = client->findChild<QWidget*>(QString::fromUtf8(name));
        return w->mapTo(client, QPoint(0, 0)).x();
    };
    for (const char* box : {"Text_ANZAHL_IMPULSE", "Text_FREQUENZ", "txtFMax", "txtFMin"})
        EXPECT_EQ(left(box), left("Text_IMPULSLÄNGE")) << box;
    EXPECT_TRUE(frame3->geometry().contains(length->geometry()));
    const QWidget* label = control(QStringLiteral("Label5"));
    EXPECT_LT(label->mapTo(client, label->rect().center()).y(), length->y());  // just below its label
    // Above the frame: the frame does not hide it.
    EXPECT_EQ(client->childAt(length->geometry().center()), length);
}

TEST_F(HauptTest, TabsThroughTheControlsInDesignOrder)
{
    const QStringList expected = {
        "Option_COMPORT_0", "Option_COMPORT_1", "Option_COMPORT_2", "Option_COMPORT_3", "Option_COMPORT_4",
        "Option_COMPORT_5", "Option_COMPORT_6", "Option_COMPORT_7", "Option_COMPORT_8", "Option_COMPORT_9",
        "Option_COMPORT_10", "Option_COMPORT_11", "Option_COMPORT_12", "Option_COMPORT_13", "Option_COMPORT_14",
        "Command_SCAN", "Option_COMPORT_15", "Check_DTR", "Check_RTS", "Command_CLOSE", "Command_OPEN",
        "Text_ANZAHL_IMPULSE", "Text_FREQUENZ", "Check_BEEP", "Text_SETTINGS", "Command_CLEAR",
        "Text_IMPULSLÄNGE", "optSignal_1", "optSignal_2", "optSignal_3", "optSignal_0", "txtFMax", "txtFMin",
        "txtIMax", "txtIMin"};
    QStringList chain;
    QWidget* first = comPort(0);
    QWidget* w = first;
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            chain << w->objectName();
        w = w->nextInFocusChain();
    } while (w != first && chain.size() <= expected.size());
    EXPECT_EQ(chain, expected);
}

TEST_F(HauptTest, NamesTextBoxesForScreenReaders)
{
    const std::pair<const char*, const char*> names[] = {
        {"Text_IMPULSLÄNGE", "Impulslänge"}, {"Text_ANZAHL_IMPULSE", "Anzahl Impulse"},
        {"Text_FREQUENZ", "Frequenz"},       {"txtFMax", "Max"},
        {"txtFMin", "Min"},                  {"txtIMax", "Impulse Maxwert"},
        {"txtIMin", "Impulse Minwert"},      {"Text_SETTINGS", "Settings"},
    };
    for (const auto& [box, name] : names)
        EXPECT_EQ(control(QString::fromUtf8(box))->accessibleName(), QString::fromUtf8(name)) << box;
}

TEST_F(HauptTest, DeliversLineEventsToTheReadoutsOfTheChosenLine)
{
    const auto t0 = std::chrono::steady_clock::now();
    fake->raise(serial::comEvCD, {t0, 1.0});
    fake->raise(serial::comEvCTS, {t0 + 5ms, 1.005});  // not the chosen line
    fake->raise(serial::comEvCD, {t0 + 10ms, 1.01});
    EXPECT_EQ(text("Text_ANZAHL_IMPULSE"), QStringLiteral("1"));
    EXPECT_EQ(text("Text_IMPULSLÄNGE"), QStringLiteral("0.020ms"));

    // Choosing CTS by a click deselects DCD in the group, so CTS now counts.
    auto* cts = control<QRadioButton>(QStringLiteral("optSignal_2"));
    QTest::mouseClick(cts, Qt::LeftButton, {}, QPoint(4, cts->height() / 2));
    ASSERT_TRUE(cts->isChecked());
    EXPECT_FALSE(control<QRadioButton>(QStringLiteral("optSignal_0"))->isChecked());
    fake->raise(serial::comEvCTS, {t0 + 20ms, 1.02});
    fake->raise(serial::comEvCTS, {t0 + 30ms, 1.03});
    EXPECT_EQ(text("Text_ANZAHL_IMPULSE"), QStringLiteral("2"));
    EXPECT_EQ(beeper.beeps, 0);

    control<QCheckBox>(QStringLiteral("Check_BEEP"))->click();
    fake->raise(serial::comEvRing, {t0 + 40ms, 1.04});
    EXPECT_EQ(beeper.beeps, 1);
}

TEST_F(HauptTest, EndeClosesTheOpenPortAndEndsTheEventLoop)
{
    fake->existingPorts = {1};
    control<QPushButton>(QStringLiteral("Command_OPEN"))->click();
    ASSERT_TRUE(fake->PortOpen());
    window->show();
    fake->calls.clear();

    QTimer::singleShot(0, window.get(), [this] { window->findChild<QAction*>(QStringLiteral("Menue_Ende"))->trigger(); });
    EXPECT_EQ(runEventLoop(3s), 0);
    EXPECT_EQ(fake->calls.value(0), QStringLiteral("PortOpen=false"));
    EXPECT_FALSE(fake->PortOpen());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->findChild<QTimer*>(QStringLiteral("Timer1"))->isActive());
}

TEST_F(HauptTest, CloseBoxEndsTheEventLoop)
{
    window->show();
    QTimer::singleShot(0, window.get(), [this] { window->close(); });
    EXPECT_EQ(runEventLoop(3s), 0);
}

TEST_F(HauptTest, HelpMenuChangesNothing)
{
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const QString before = snapshot(*window);
    const auto callsBefore = fake->calls.size();
    QMenuBar* bar = window->menuBar();
    QAction* help = window->findChild<QAction*>(QStringLiteral("Menue_HILFE"));
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->text(), QStringLiteral("?"));
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(help).center());
    help->trigger();
    QCoreApplication::processEvents();
    EXPECT_EQ(snapshot(*window), before);
    EXPECT_EQ(fake->calls.size(), callsBefore);
    EXPECT_EQ(window->findChild<QMenu*>(QStringLiteral("Menue_DATEI"))->title(), QStringLiteral("Datei"));
}

TEST(HauptWithoutService, RefusesClearly)
{
    EXPECT_THROW(HAUPT(nullptr), std::invalid_argument);
}

TEST(ProgramWithoutDisplay, SaysSoInOneLineAndExitsWithTwo)
{
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(IMPULSMETER_BINARY), {});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_EQ(err.count(QLatin1Char('\n')), 1) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("xvfb-run"))) << err.toStdString();
}
