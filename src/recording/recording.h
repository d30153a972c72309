#pragma once

#include "history.h"
#include "main_window_view.h"

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <chrono>
#include <functional>

namespace recording {

// The header and one line of the CSV file. Where the locale's decimal
// separator is a comma the fields are split by ';', so a spreadsheet in the
// user's language opens the file as it stands; otherwise by ',' with a full stop.
QString csvHeader(const QLocale& locale);
QString csvLine(const QDateTime& at, qint64 seconds, const QString& port, const QString& line,
                const measurement::TickRecord& tick, const QLocale& locale);

// The desktop's save dialog, which asks before it replaces a file; tests answer it themselves.
class FileDialog {
public:
    virtual ~FileDialog() = default;
    // Empty when the user cancels.
    virtual QString saveFileName() = 0;
};

// A recording of the ticks into a CSV file the user picks. Each line goes out
// in one write() and is synced to the disk before the next tick, so a crash
// or a power cut loses at most the last second and never leaves half a line.
// A write that fails ends the recording with a message; the measurement goes on.
class Recording {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    Recording(FileDialog& dialog, MessageBox& messages, QLocale locale = QLocale(),
              Clock clock = std::chrono::steady_clock::now);
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // "Aufzeichnen…": asks for the file and gives it the header line.
    void start();
    // "Aufzeichnung beenden", and the end of the program.
    void stop();
    void add(const QDateTime& at, const QString& port, const QString& line, const measurement::TickRecord& tick);

    bool active() const { return fd_ >= 0; }
    // The file being written, empty while none is.
    QString fileName() const { return active() ? fileName_ : QString(); }
    // After a recording started or ended.
    std::function<void()> changed;

private:
    bool writeLine(const QString& text);
    void fail(int error);

    FileDialog& dialog_;
    MessageBox& messages_;
    QLocale locale_;
    Clock clock_;
    int fd_ = -1;
    QString fileName_;
    qint64 written_ = 0;  // bytes of whole lines in the file
    std::chrono::steady_clock::time_point began_;
};

}  // namespace recording
