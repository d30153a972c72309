#include <QProcess>

#include <gtest/gtest.h>

namespace {

// The real program with no display at all: what it answers on the command
// line needs none, and without arguments it says how to start it instead.
TEST(CommandLine, AnswersHelpAndVersionAndNamesWhatItDoesNotKnow)
{
    struct Row {
        QStringList arguments;
        int status;
        QString out;  // a part of what it prints, "" where it must print nothing there
        QString err;
    };
    const Row rows[] = {
        {{"--help"}, 0, "Usage: " IMPULSMETER_PROGRAM " [--help | --version]\n", ""},
        {{"--version"}, 0, "impulsmeter " IMPULSMETER_VERSION "\n", ""},
        {{"--version", "-v"}, 2, "", "impulsmeter: unknown argument \"-v\""},
        {{}, 2, "", "xvfb-run " IMPULSMETER_PROGRAM "\n"},
    };
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    for (const Row& row : rows) {
        QProcess program;
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(IMPULSMETER_PROGRAM), row.arguments);
        ASSERT_TRUE(program.waitForFinished());
        const QString out = QString::fromUtf8(program.readAllStandardOutput());
        const QString err = QString::fromUtf8(program.readAllStandardError());
        const std::string what = row.arguments.join(u' ').toStdString() + ": " + (out + err).toStdString();
        EXPECT_EQ(program.exitCode(), row.status) << what;
        EXPECT_TRUE(row.out.isEmpty() ? out.isEmpty() : out.contains(row.out)) << what;
        EXPECT_TRUE(row.err.isEmpty() ? err.isEmpty() : err.contains(row.err)) << what;
    }
}

}  // namespace
