#include "recording.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace recording;
using namespace std::chrono_literals;

namespace {

const QDateTime kAt(QDate(2026, 12, 7), QTime(14, 3, 12));

// The German text, with the locale's field separator for ';' and its decimal point for ','.
TEST(Csv, FieldsAndDecimalsFollowTheLocale)
{
    const std::tuple<QLocale, char16_t, char16_t> rows[] = {{QLocale(QLocale::German, QLocale::Germany), ';', ','},
                                                           {QLocale(QLocale::English, QLocale::UnitedStates), ',', '.'},
                                                           {QLocale(QLocale::German, QLocale::Switzerland), ',', '.'}};
    for (const auto& [locale, field, point] : rows)
        EXPECT_EQ(QStringList({csvHeader(locale), csvLine(kAt, 12, "COM 1", "CTS Pin 8", {101, 50.5, true, 0, 0}, locale),
                               csvLine(kAt, 12, "COM 16", "RI  Pin 9", {2469, 1234.5, false, 0, 0}, locale)})
                      .join(u'|'),
                  QString("Zeit;Sekunden;Port;Leitung;Flanken;Frequenz (Hz);MinMax aktiv|2026-12-07 14:03:12;12;COM 1;"
                          "CTS Pin 8;101;50,5;1|2026-12-07 14:03:12;12;COM 16;RI Pin 9;2469;1234,5;0")
                      .replace(u',', point).replace(u';', field))
            << locale.name().toStdString();
}

// The fixture answers the file dialog and the message box; the clock moves a second a call.
class Recorder : public ::testing::Test, public FileDialog, public MessageBox {
protected:
    QString saveFileName() override { return answer; }
    void MsgBox(const QString& text) override { shown << text; }
    QString file() const
    {
        QFile f(answer);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QStringLiteral("(none)");
    }
    void tick(int edges) { recorder.add(kAt, "COM 2", "DSR Pin 6", {double(edges), edges / 2.0, false, 0, 0}); }

    QTemporaryDir dir;
    QString answer;
    QStringList shown;
    std::chrono::steady_clock::time_point now;
    Recording recorder{*this, *this, QLocale(QLocale::English, QLocale::UnitedStates), [this] { return now += 1s; }};
};

const QString kHeader = "Zeit,Sekunden,Port,Leitung,Flanken,Frequenz (Hz),MinMax aktiv\n";
QString line(int seconds, int edges)
{
    return QStringLiteral("2026-12-07 14:03:12,%1,COM 2,DSR Pin 6,%2,%3,0\n").arg(seconds).arg(edges).arg(edges / 2.0);
}

TEST_F(Recorder, WritesTheChosenFileUntilStoppedAndEndsWithAMessageWhenAWriteFails)
{
    int changes = 0;
    recorder.changed = [&] { ++changes; };
    tick(1);  // nothing recorded yet, and a cancelled dialog starts nothing
    recorder.start();
    EXPECT_FALSE(recorder.active());

    answer = dir.filePath("run.csv");
    QFile earlier(answer);  // replaced, as the dialog asked
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly) && earlier.write(QByteArray(4096, 'x')) == 4096);
    earlier.close();
    recorder.start();
    EXPECT_EQ(recorder.fileName(), answer);
    tick(101);
    tick(7);
    recorder.stop();
    tick(9);
    EXPECT_EQ(file().toStdString(), (kHeader + line(1, 101) + line(2, 7)).toStdString());
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(recorder.fileName(), "");

    // A write cut short leaves the last whole line: the file may grow only
    // by the header and a line and a half.
    rlimit was{};
    ::getrlimit(RLIMIT_FSIZE, &was);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{static_cast<rlim_t>(kHeader.size() + line(1, 101).size() * 3 / 2), was.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    recorder.start();
    for (int i = 0; i < 3; ++i)
        tick(101);
    ::setrlimit(RLIMIT_FSIZE, &was);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(file().toStdString(), (kHeader + line(1, 101)).toStdString());
    EXPECT_FALSE(recorder.active());
    EXPECT_EQ(changes, 4);

    for (const char* unwritable : {"/dev/full", "/nonexistent/run.csv"}) {  // a full disk; no such folder
        answer = QString::fromUtf8(unwritable);
        recorder.start();
        EXPECT_FALSE(recorder.active()) << answer.toStdString();
    }
    const QString message = "„%1“ kann nicht geschrieben werden: %2. Die Aufzeichnung ist beendet, "
                            "die Messung läuft weiter.";
    EXPECT_EQ(shown, (QStringList{message.arg(dir.filePath("run.csv"), std::strerror(EFBIG)),
                                  message.arg("/dev/full", std::strerror(ENOSPC)),
                                  message.arg(answer, std::strerror(ENOENT))}));
}

// A program killed mid-recording leaves whole lines only. In memory the sync
// costs next to nothing, so the kill lands among the writes.
TEST_F(Recorder, AKilledRecordingHoldsOnlyWholeLines)
{
    QTemporaryDir memory(QStringLiteral("/dev/shm/recording-XXXXXX"));
    for (int round = 0; round < 5; ++round) {
        answer = (memory.isValid() ? memory : dir).filePath(QStringLiteral("killed%1.csv").arg(round));
        const pid_t child = ::fork();
        if (child == 0) {
            recorder.start();
            for (int edges = 0;; ++edges)
                tick(edges);
        }
        ASSERT_GT(child, 0);
        while (file().count(u'\n') < 200)
            ::usleep(1000);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const QString written = file();
        EXPECT_TRUE(written.endsWith(u'\n'));
        for (const QString& row : written.split(u'\n', Qt::SkipEmptyParts))
            EXPECT_EQ(row.count(u','), 6) << row.toStdString();
    }
}

}  // namespace
