// What flash3-cli writes differently on Windows, tried under Wine.

#include "run_log.h"

#include "qt_print.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace flash3::cli;

// The log's header and the report name the image as Windows writes a path.
TEST(WindowsCliFiles, ImageIsNamedWithItsDriveAndBackslashes)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir("fw"));
    QFile image(dir.filePath("fw/unit.pf3"));
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    image.write("T41:R41:E\r\n:");
    image.close();
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    const ImageFacts facts = imageFacts(QStringLiteral("fw/unit.pf3"));
    QDir::setCurrent(previous);
    EXPECT_TRUE(facts.readable);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[A-Za-z]:\\\\.*\\\\fw\\\\unit\\.pf3$")).match(facts.path).hasMatch())
        << facts.path;
}
