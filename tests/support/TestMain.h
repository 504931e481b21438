#pragma once

#include <QApplication>
#include <QTest>

namespace orvel::test {

// Points HOME and the XDG directories at a fresh temporary directory for the whole test run, so
// that preferences, the log and autostart entries never touch the real user's files.
// Returns the directory, which is removed at exit.
QString isolateHome();

} // namespace orvel::test

// Like QTEST_MAIN, but in a temporary home and with the application named "Orvel".
#define ORVEL_TEST_MAIN(TestObject)                                                                          \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        orvel::test::isolateHome();                                                                          \
        QApplication app(argc, argv);                                                                        \
        QApplication::setApplicationName(QStringLiteral("Orvel"));                                           \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                             \
        TestObject tc;                                                                                       \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
