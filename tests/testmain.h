#pragma once

#include "app/processend.h"

#include <QtTest>

// QTEST_MAIN and QTEST_GUILESS_MAIN, ending the process as the program does once the results are written.
#define TOVANIK_TEST_MAIN_WITH(TestObject, ...)                                                                        \
    static int runTests(int argc, char *argv[])                                                                        \
    {                                                                                                                  \
        QTest::Internal::callInitMain<TestObject>();                                                                   \
        __VA_ARGS__                                                                                                    \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }                                                                                                                  \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        return endProcess(runTests(argc, argv));                                                                       \
    }

#define TOVANIK_TEST_MAIN(TestObject) TOVANIK_TEST_MAIN_WITH(TestObject, QTEST_MAIN_SETUP())
#define TOVANIK_TEST_GUILESS_MAIN(TestObject) TOVANIK_TEST_MAIN_WITH(TestObject, QTEST_QAPP_SETUP(QCoreApplication))
