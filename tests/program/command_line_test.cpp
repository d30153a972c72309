#include <QProcess>

#include <gtest/gtest.h>

namespace {

// The real program with no display at all: what it answers on the command
// line needs none, and without arguments it says how to start it instead.
TEST(CommandLine, AnswersHelpAndVersionAndNamesWhatItDoesNotKnow)
{
    // The arguments, the exit status, and a part of what it prints on stdout
    // and on stderr, "" where it must print nothing.
    const std::tuple<QStringList, int, QString, QString> rows[] = {
        {{"--help"}, 0, "Usage: " IMPULSMETER_PROGRAM " [--help | --version]\n", ""},
        {{"--version"}, 0, "impulsmeter " IMPULSMETER_VERSION "\n", ""},
        {{"--version", "-v"}, 2, "", "impulsmeter: unknown argument \"-v\""},
        {{}, 2, "", "xvfb-run " IMPULSMETER_PROGRAM "\n"}};
    for (const auto& [arguments, status, out, err] : rows) {
        QProcess program;
        program.setEnvironment({"LANG=C.UTF-8"});  // no display at all
        program.start(QStringLiteral(IMPULSMETER_PROGRAM), arguments);
        ASSERT_TRUE(program.waitForFinished());
        const QString printed[] = {program.readAllStandardOutput(), program.readAllStandardError()};
        EXPECT_EQ(program.exitCode(), status) << arguments.join(u' ').toStdString();
        for (const auto& [wanted, got] : {std::pair(out, printed[0]), std::pair(err, printed[1])})
            EXPECT_TRUE(wanted.isEmpty() ? got.isEmpty() : got.contains(wanted)) << got.toStdString();
    }
}

}  // namespace
