// The main of every test program: a headless, private environment by default,
// and the build and source folders for tests that run the built programs.

#include <QDir>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtime.isValid()) {
        QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    }
    if (qEnvironmentVariableIsEmpty("FLASH3_BUILD_DIR"))
        qputenv("FLASH3_BUILD_DIR", FLASH3_TEST_BUILD_DIR);
    if (qEnvironmentVariableIsEmpty("FLASH3_SOURCE_DIR"))
        qputenv("FLASH3_SOURCE_DIR", FLASH3_TEST_SOURCE_DIR);
    // Expected texts are written with a decimal point; tests of other
    // separators set their locale themselves.
    QLocale::setDefault(QLocale::c());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
