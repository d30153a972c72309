#include "haupt.h"

#include "classic_controls.h"
#include "formatting.h"
#include "twips.h"
#include "verlauf.h"

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <stdexcept>
#include <utility>

using window::TwipsRect;

namespace {

constexpr TwipsRect kClientArea{0, 0, 9555, 5130};
constexpr int kTimerIntervalMs = 1000;
constexpr int kOptionWidthAtLoad = 1000;
const QString kLineCaptions[kSignalCount] = {QStringLiteral("DCD Pin 1"), QStringLiteral("DSR Pin 6"),
                                             QStringLiteral("CTS Pin 8"), QStringLiteral("RI  Pin 9")};

template <typename Widget>
Widget* placed(Widget* widget, const QString& name, const TwipsRect& where)
{
    widget->setObjectName(name);
    widget->setGeometry(window::pixelRect(where));
    return widget;
}

QGroupBox* frame(QWidget* parent, const char* name, const QString& caption, const TwipsRect& where)
{
    return placed(new window::ClassicFrame(caption, parent), QString::fromUtf8(name), where);
}

QLabel* label(QWidget* parent, const char* name, const QString& caption, const TwipsRect& where)
{
    return placed(new QLabel(caption, parent), QString::fromUtf8(name), where);
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, const TwipsRect& where)
{
    return placed(new QPushButton(caption, parent), QString::fromUtf8(name), where);
}

template <typename Box = QCheckBox>
QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption, bool checked, const TwipsRect& where)
{
    auto* box = placed(new Box(caption, parent), QString::fromUtf8(name), where);
    box->setChecked(checked);
    return box;
}

// Every text box is editable and holds one line; the accessible name is the
// caption of the label beside it.
QLineEdit* textBox(QWidget* parent, const char* name, const QString& text, const QString& accessibleName,
                   const TwipsRect& where)
{
    auto* box = placed(new QLineEdit(text, parent), QString::fromUtf8(name), where);
    box->setAccessibleName(accessibleName);
    return box;
}

window::PlacedOption option(QWidget* parent, const QString& name, const QString& caption, const TwipsRect& where)
{
    return {placed(new QRadioButton(caption, parent), name, where), where};
}

// The design names Windows fonts; where one is missing Qt's fallback picks a
// family of the same kind through the style hint.
QFont designFont(const QString& family, QFont::StyleHint kind, bool bold)
{
    QFont font(family);
    font.setStyleHint(kind);
    font.setFixedPitch(kind == QFont::TypeWriter);
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}

}  // namespace

HAUPT::HAUPT(std::unique_ptr<serial::SerialLineService> service, MessageBox* messages, measurement::Beeper* beeper,
             measurement::Measurement::Clock tickClock, recording::FileDialog* files, AskDebounce askDebounce)
    : MSComm1(service ? std::move(service) : throw std::invalid_argument("HAUPT needs a serial line service")),
      ownMessages_(this),
      ownBeeper_(this,
                 [this] {
                     findChild<QCheckBox*>(QStringLiteral("Check_BEEP"))
                         ->setToolTip(QStringLiteral("Kein Soundserver erreichbar: statt des Klicks ertönt der Systemton"));
                 }),
      view_(std::make_unique<window::HauptView>(buildDesign())),
      measurement_(*view_, *MSComm1, beeper ? *beeper : ownBeeper_, QLocale(), std::move(tickClock)),
      ports_(*view_, *MSComm1, messages ? *messages : ownMessages_, QLocale()),
      Timer1(new QTimer(this)),
      ownFiles_(this),
      recording_(files ? *files : ownFiles_, messages ? *messages : ownMessages_),
      askDebounce_(askDebounce ? std::move(askDebounce) : [this](int current) -> std::optional<int> {
          bool ok = false;
          const int ms = QInputDialog::getInt(this, QStringLiteral("Entprellzeit"),
                                              QStringLiteral("Entprellzeit in ms (0 bis 1000):"), current, 0, 1000, 1, &ok);
          return ok ? std::optional(ms) : std::nullopt;
      })
{
    view_->setBackColor(ColouredControl::lblMM, colours::darkRed);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kTimerIntervalMs);
    // A coarse timer may drift by a twentieth of a tick, which the frequency would show.
    Timer1->setTimerType(Qt::PreciseTimer);
    connectHandlers();
    Form_Load();
    Timer1->start();
}

HAUPT::~HAUPT()
{
    // The service closes an open port as it goes; nothing may call back into
    // the handlers by then.
    Timer1->stop();
    MSComm1->OnComm = nullptr;
    MSComm1->OnEdgesIn = nullptr;
    MSComm1->OnPortLost = nullptr;
    // The recording ends with the window, which is no longer there to show it.
    recording_.changed = nullptr;
}

// The complete dispatch table; no other event has a handler.
void HAUPT::connectHandlers()
{
    connect(findChild<QPushButton*>(QStringLiteral("Command_OPEN")), &QPushButton::clicked, this,
            [this] { ports_.Command_OPEN_Click(); });
    connect(findChild<QPushButton*>(QStringLiteral("Command_CLOSE")), &QPushButton::clicked, this,
            [this] { ports_.Command_CLOSE_Click(); });
    connect(findChild<QPushButton*>(QStringLiteral("Command_SCAN")), &QPushButton::clicked, this,
            [this] { ports_.Command_SCAN_Click(); });
    connect(findChild<QPushButton*>(QStringLiteral("Command_CLEAR")), &QPushButton::clicked, this, [this] {
        measurement_.Command_CLEAR_Click();
        history_.markReset(QDateTime::currentDateTime());
    });
    connect(findChild<QAction*>(QStringLiteral("Menue_Ende")), &QAction::triggered, this,
            [this] { Menue_Ende_Click(); });
    connect(findChild<QAction*>(QStringLiteral("Menue_AUFZEICHNEN")), &QAction::triggered, this,
            [this] { recording_.start(); });
    connect(findChild<QAction*>(QStringLiteral("Menue_AUFZEICHNUNG_BEENDEN")), &QAction::triggered, this,
            [this] { recording_.stop(); });
    connect(findChild<QAction*>(QStringLiteral("Menue_VERLAUF")), &QAction::triggered, this,
            [this] { Menue_VERLAUF_Click(); });
    measurement_.onTick = [this](const measurement::TickRecord& tick) { keepTick(tick); };
    recording_.changed = [this] { recordingChanged(); };
    connect(findChild<QAction*>(QStringLiteral("Menue_ENTPRELLZEIT")), &QAction::triggered, this,
            [this] { Menue_ENTPRELLZEIT_Click(); });
    MSComm1->OnComm = [this] { measurement_.MSComm1_OnComm(); };
    MSComm1->OnEdgesIn = [this](std::chrono::steady_clock::time_point upTo) { measurement_.edgesIn(upTo); };
    MSComm1->OnPortLost = [this] { ports_.MSComm1_OnPortLost(); };
    connect(Timer1, &QTimer::timeout, this, [this] { measurement_.Timer1_Timer(); });
}

void HAUPT::Form_Load()
{
    const QLocale locale;
    for (int i = 0; i < kComPortCount; ++i) {
        view_->setOptionWidth(OptionArray::Option_COMPORT, i, kOptionWidthAtLoad);
        view_->setOptionCaption(OptionArray::Option_COMPORT, i,
                                QStringLiteral("COM ") + measurement::integerText(static_cast<std::int16_t>(i + 1), locale));
        view_->setOptionEnabled(OptionArray::Option_COMPORT, i, true);
    }
    view_->setCaption(QStringLiteral("?"));
    measurement_.prime();
    ports_.showPortDevices();
}

void HAUPT::Menue_Ende_Click()
{
    MSComm1->setPortOpen(false);
    Timer1->stop();
    hide();
    QCoreApplication::exit(0);
}

void HAUPT::Menue_VERLAUF_Click()
{
    if (!verlauf_) {
        verlauf_ = new window::VERLAUF(history_, this);
        verlauf_->setRecordingFile(recording_.fileName());
    }
    verlauf_->show();
    verlauf_->raise();
    verlauf_->activateWindow();
}

// Every tick goes into the history, and into the recording while one runs.
void HAUPT::keepTick(const measurement::TickRecord& tick)
{
    const QDateTime now = QDateTime::currentDateTime();
    history_.add(now, tick);
    if (recording_.active()) {
        QStringList lines;
        for (int i = 0; i < kSignalCount; ++i)
            if (view_->optionValue(OptionArray::optSignal, i))
                lines << kLineCaptions[i];
        const QString port = MSComm1->PortOpen() ? QStringLiteral("COM %1").arg(MSComm1->CommPort()) : QString();
        recording_.add(now, port, lines.join(u' '), tick);
    }
    if (verlauf_)
        verlauf_->tickAdded();
}

void HAUPT::recordingChanged()
{
    findChild<QAction*>(QStringLiteral("Menue_AUFZEICHNEN"))->setEnabled(!recording_.active());
    findChild<QAction*>(QStringLiteral("Menue_AUFZEICHNUNG_BEENDEN"))->setEnabled(recording_.active());
    if (verlauf_)
        verlauf_->setRecordingFile(recording_.fileName());
}

// A change counts once the line has kept its level this long; a time the
// service refuses (outside 0 to 1000 ms) leaves the one in force.
void HAUPT::Menue_ENTPRELLZEIT_Click()
{
    if (const auto ms = askDebounce_(static_cast<int>(MSComm1->debounceTime().count())))
        MSComm1->setDebounceTime(std::chrono::milliseconds(*ms));
}

window::HauptControls HAUPT::buildDesign()
{
    window::HauptControls c;
    c.window = this;
    setWindowTitle(QStringLiteral("Form1"));
    QFont windowFont = font();
    windowFont.setPointSizeF(8.25);
    setFont(windowFont);

    // The layout is fixed in twips: the window keeps its size and offers no maximise button.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // Alt+D opens Datei, then E ends the program.
    auto* menue = menuBar()->addMenu(QStringLiteral("&Datei"));
    menue->setObjectName(QStringLiteral("Menue_DATEI"));
    menue->addAction(QStringLiteral("&Aufzeichnen…"))->setObjectName(QStringLiteral("Menue_AUFZEICHNEN"));
    auto* stop = menue->addAction(QStringLiteral("Aufzeichnung &beenden"));
    stop->setObjectName(QStringLiteral("Menue_AUFZEICHNUNG_BEENDEN"));
    stop->setEnabled(false);
    menue->addSeparator();
    auto* ende = menue->addAction(QStringLiteral("&Ende"));
    ende->setObjectName(QStringLiteral("Menue_Ende"));
    // The desktop's quit keys; Ctrl+Q where its key scheme names none.
    const QList<QKeySequence> quit = QKeySequence::keyBindings(QKeySequence::Quit);
    ende->setShortcuts(quit.isEmpty() ? QList{QKeySequence(Qt::CTRL | Qt::Key_Q)} : quit);
    auto* messung = menuBar()->addMenu(QStringLiteral("&Messung"));
    messung->setObjectName(QStringLiteral("Menue_MESSUNG"));
    messung->addAction(QStringLiteral("&Verlauf"))->setObjectName(QStringLiteral("Menue_VERLAUF"));
    messung->addAction(QStringLiteral("&Entprellzeit…"))->setObjectName(QStringLiteral("Menue_ENTPRELLZEIT"));
    // "?" has no entries and does nothing.
    menuBar()->addAction(QStringLiteral("?"))->setObjectName(QStringLiteral("Menue_HILFE"));

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("HAUPT_client"));
    client->setFixedSize(window::pixelRect(kClientArea).size());
    setCentralWidget(client);

    auto* frame1 = frame(client, "Frame1", QStringLiteral("COM-PORT"), {180, 60, 1992, 4692});
    for (int i = 0; i < kComPortCount; ++i)
        c.comPorts[static_cast<std::size_t>(i)] =
            option(frame1, QStringLiteral("Option_COMPORT_%1").arg(i), QString(),
                   {180, 240 * (i + 1), i == 0 ? 1000 : 792, 192});
    c.comPorts[0].button->setChecked(true);
    auto* scan = button(frame1, "Command_SCAN", QStringLiteral("SCAN"), {180, 4200, 1272, 312});

    auto* frame2 = frame(client, "Frame2", QStringLiteral("open / close"), {2280, 60, 2592, 4692});
    c.textBoxes[TextBox::Text_SETTINGS] = textBox(frame2, "Text_SETTINGS", QStringLiteral("9600,n,8,1"),
                                                  QStringLiteral("Settings"), {480, 2040, 1632, 252});
    c.checkBoxes[CheckBox::Check_DTR] = checkBox(frame2, "Check_DTR", QStringLiteral("DTR "), true, {600, 2460, 1512, 252});
    c.checkBoxes[CheckBox::Check_RTS] = checkBox(frame2, "Check_RTS", QStringLiteral("RTS"), true, {600, 2760, 1512, 252});
    auto* close = button(frame2, "Command_CLOSE", QStringLiteral("close"), {420, 3240, 1692, 432});
    auto* frameOpen = frame(frame2, "Frame_OPEN", QString(), {300, 3660, 1932, 852});
    c.frameOpen = frameOpen;
    auto* open = button(frameOpen, "Command_OPEN", QStringLiteral("open"), {120, 240, 1692, 432});
    open->setFont(designFont(QStringLiteral("MS Sans Serif"), QFont::SansSerif, true));

    auto* frame3 = frame(client, "Frame3", QStringLiteral("Messung"), {4980, 60, 2532, 4692});
    // The longest caption; its box is two lines high.
    c.checkBoxes[CheckBox::Check_BEEP] = checkBox<window::WrappingCheckBox>(
        frame3, "Check_BEEP", QStringLiteral("Beep bei \"OnComm\" Ereignis"), false, {60, 540, 2412, 432});
    label(frame3, "Label5", QStringLiteral("Impulslänge"), {300, 1260, 1515, 255});
    label(frame3, "Label2", QStringLiteral("Anzahl Impulse"), {300, 2100, 1515, 255});
    c.textBoxes[TextBox::Text_ANZAHL_IMPULSE] =
        textBox(frame3, "Text_ANZAHL_IMPULSE", QString(), QStringLiteral("Anzahl Impulse"), {300, 2340, 1632, 312});
    auto* clear = button(frame3, "Command_CLEAR", QStringLiteral("C"), {2040, 2400, 252, 252});
    label(frame3, "Label1", QStringLiteral("Frequenz"), {300, 2940, 1515, 255});
    c.textBoxes[TextBox::txtFMax] = textBox(frame3, "txtFMax", QString(), QStringLiteral("Max"), {300, 3180, 1632, 312});
    label(frame3, "Label3", QStringLiteral("Max"), {2040, 3240, 375, 255});
    c.textBoxes[TextBox::Text_FREQUENZ] =
        textBox(frame3, "Text_FREQUENZ", QString(), QStringLiteral("Frequenz"), {300, 3600, 1632, 312});
    c.textBoxes[TextBox::txtFMin] = textBox(frame3, "txtFMin", QString(), QStringLiteral("Min"), {300, 4020, 1632, 312});
    label(frame3, "Label4", QStringLiteral("Min"), {2040, 4080, 375, 255});
    // Belongs to the window, not to Frame3, yet lies over it: created after
    // the frame so it is drawn above it.
    c.textBoxes[TextBox::Text_IMPULSLÄNGE] = textBox(client, "Text_IMPULSLÄNGE", QString(),
                                                     QStringLiteral("Impulslänge"), {5280, 1560, 1632, 312});
    c.textBoxes[TextBox::Text_IMPULSLÄNGE]->raise();

    auto* frame4 = frame(client, "Frame4", QStringLiteral("Signal"), {7620, 60, 1635, 1335});
    const QFont lineFont = designFont(QStringLiteral("Courier New"), QFont::TypeWriter, false);
    for (int i = 0; i < kSignalCount; ++i) {
        auto& line = c.signalLines[static_cast<std::size_t>(i)];
        line = option(frame4, QStringLiteral("optSignal_%1").arg(i), kLineCaptions[i],
                      {60, 240 * (i + 1), 1335, i == 0 ? 192 : 210});
        line.button->setFont(lineFont);
    }
    c.signalLines[0].button->setChecked(true);

    const QFont legendFont = designFont(QStringLiteral("Courier New"), QFont::TypeWriter, true);
    label(client, "Label8", QStringLiteral("green:"), {7980, 2340, 1455, 255})->setFont(legendFont);
    c.lblMM = label(client, "lblMM", QString(), {7620, 2460, 255, 255});
    label(client, "Label9", QStringLiteral("Max Min activ"), {7980, 2580, 1515, 255})->setFont(legendFont);
    label(client, "Label6", QStringLiteral("Impulse Maxwert"), {7680, 3060, 1515, 255});
    c.textBoxes[TextBox::txtIMax] =
        textBox(client, "txtIMax", QStringLiteral("1000"), QStringLiteral("Impulse Maxwert"), {7620, 3300, 1632, 312});
    label(client, "Label7", QStringLiteral("Impulse Minwert"), {7680, 3840, 1515, 255});
    c.textBoxes[TextBox::txtIMin] =
        textBox(client, "txtIMin", QStringLiteral("10"), QStringLiteral("Impulse Minwert"), {7620, 4080, 1632, 312});

    // What a newcomer has to guess at; the port options carry their device's own.
    c.textBoxes[TextBox::Text_SETTINGS]->setToolTip(
        QStringLiteral("Baudrate,Parität,Datenbits,Stoppbits, z. B. 9600,n,8,1 (Parität n, e, o, m oder s)"));
    const std::pair<CheckBox, const char*> outputs[] = {{CheckBox::Check_DTR, "DTR (Pin 4)"},
                                                        {CheckBox::Check_RTS, "RTS (Pin 7)"}};
    for (const auto& [box, pin] : outputs)
        c.checkBoxes[box]->setToolTip(
            QStringLiteral("Beim Öffnen %1 auf Plus legen, z. B. als Versorgung eines Schalters oder Sensors")
                .arg(QLatin1String(pin)));
    clear->setToolTip(QStringLiteral("Setzt Impulszahl, Max und Min zurück; Frequenz und Impulslänge laufen weiter"));
    c.textBoxes[TextBox::txtIMax]->setToolTip(
        QStringLiteral("Obere Grenze: Max und Min werden nur erfasst, solange die Impulszahl darunter liegt"));
    c.textBoxes[TextBox::txtIMin]->setToolTip(
        QStringLiteral("Untere Grenze: Max und Min werden nur erfasst, solange die Impulszahl darüber liegt"));
    c.lblMM->setToolTip(QStringLiteral("Grün: die Impulszahl liegt zwischen den Grenzen, Max und Min werden erfasst"));
    const char* const lineNames[kSignalCount] = {"DCD an Pin 1", "DSR an Pin 6", "CTS an Pin 8", "RI an Pin 9"};
    for (int i = 0; i < kSignalCount; ++i)
        c.signalLines[static_cast<std::size_t>(i)].button->setToolTip(
            QStringLiteral("Eingang %1 des 9-poligen Steckers; Masse ist Pin 5").arg(QLatin1String(lineNames[i])));

    // Focus order by the design's tab index.
    std::vector<QWidget*> order;
    for (int i = 0; i < kComPortCount - 1; ++i)
        order.push_back(c.comPorts[static_cast<std::size_t>(i)].button);
    order.push_back(scan);
    order.push_back(c.comPorts[kComPortCount - 1].button);
    order.insert(order.end(), {c.checkBoxes[CheckBox::Check_DTR], c.checkBoxes[CheckBox::Check_RTS], close, open,
                               c.textBoxes[TextBox::Text_ANZAHL_IMPULSE], c.textBoxes[TextBox::Text_FREQUENZ],
                               c.checkBoxes[CheckBox::Check_BEEP], c.textBoxes[TextBox::Text_SETTINGS], clear,
                               c.textBoxes[TextBox::Text_IMPULSLÄNGE], c.signalLines[1].button,
                               c.signalLines[2].button, c.signalLines[3].button, c.signalLines[0].button,
                               c.textBoxes[TextBox::txtFMax], c.textBoxes[TextBox::txtFMin],
                               c.textBoxes[TextBox::txtIMax], c.textBoxes[TextBox::txtIMin]});
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
    return c;
}
