#include "recording.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

namespace recording {
namespace {

bool commaDecimal(const QLocale& locale)
{
    return locale.decimalPoint() == QStringLiteral(",");
}

QString fields(const QStringList& values, const QLocale& locale)
{
    return values.join(commaDecimal(locale) ? u';' : u',');
}

}  // namespace

QString csvHeader(const QLocale& locale)
{
    return fields({QStringLiteral("Zeit"), QStringLiteral("Sekunden"), QStringLiteral("Port"), QStringLiteral("Leitung"),
                   QStringLiteral("Flanken"), QStringLiteral("Frequenz (Hz)"), QStringLiteral("MinMax aktiv")},
                  locale);
}

QString csvLine(const QDateTime& at, qint64 seconds, const QString& port, const QString& line,
                const measurement::TickRecord& tick, const QLocale& locale)
{
    // Only the decimal separator is the locale's: no grouping, which a spreadsheet would read as text.
    QLocale numbers(commaDecimal(locale) ? locale : QLocale::c());
    numbers.setNumberOptions(QLocale::OmitGroupSeparator);
    return fields({at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), QString::number(seconds), port,
                   line.simplified(), numbers.toString(tick.edges, 'f', 0),
                   numbers.toString(tick.frequency, 'g', 15), tick.minMaxActive ? QStringLiteral("1") : QStringLiteral("0")},
                  locale);
}

Recording::Recording(FileDialog& dialog, MessageBox& messages, QLocale locale, Clock clock)
    : dialog_(dialog), messages_(messages), locale_(std::move(locale)), clock_(std::move(clock))
{
}

Recording::~Recording()
{
    stop();
}

void Recording::start()
{
    if (active())
        return;
    const QString name = dialog_.saveFileName();
    if (name.isEmpty())
        return;
    fileName_ = name;
    fd_ = ::open(QFile::encodeName(name).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        fail(errno);
        return;
    }
    written_ = 0;
    began_ = clock_();
    if (writeLine(csvHeader(locale_)) && changed)
        changed();
}

void Recording::stop()
{
    if (!active())
        return;
    ::close(std::exchange(fd_, -1));
    if (changed)
        changed();
}

void Recording::add(const QDateTime& at, const QString& port, const QString& line, const measurement::TickRecord& tick)
{
    if (!active())
        return;
    const std::chrono::duration<double> since = clock_() - began_;
    writeLine(csvLine(at, std::llround(since.count()), port, line, tick, locale_));
}

// One write() for the whole line. A short one (the disk filled up meanwhile)
// is carried on to learn why, and what it left of the line is cut off again,
// so the file ends with a whole line whatever happens.
bool Recording::writeLine(const QString& text)
{
    const QByteArray bytes = (text + u'\n').toUtf8();
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t now = ::write(fd_, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
        if (now < 0 && errno == EINTR)
            continue;
        if (now <= 0) {
            const int error = now < 0 ? errno : ENOSPC;
            // Should even the cut fail, the write's error is still the one to tell.
            [[maybe_unused]] const int cut = done > 0 ? ::ftruncate(fd_, written_) : 0;
            fail(error);
            return false;
        }
        done += now;
    }
    written_ += done;
    if (::fdatasync(fd_) != 0) {
        fail(errno);
        return false;
    }
    return true;
}

void Recording::fail(int error)
{
    const bool wasActive = active();
    if (wasActive)
        ::close(std::exchange(fd_, -1));
    messages_.MsgBox(QStringLiteral("„%1“ kann nicht geschrieben werden: %2. Die Aufzeichnung ist beendet, "
                                    "die Messung läuft weiter.")
                         .arg(fileName_, QString::fromLocal8Bit(std::strerror(error))));
    if (wasActive && changed)
        changed();
}

}  // namespace recording
