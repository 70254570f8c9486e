// Every seed and every input the fuzzer once tripped on, through the same checks.

#include "fuzz/image_fuzz_target.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

TEST(FuzzRegressions, SeedsAndKeptInputsPass)
{
    const QString root = qEnvironmentVariable("FLASH3_SOURCE_DIR", QStringLiteral("..")) + "/tests/fuzz/";
    int files = 0;
    for (const char* folder : {"corpus", "regressions"}) {
        const QDir dir(root + folder);
        for (const QString& name : dir.entryList(QDir::Files)) {
            QFile f(dir.filePath(name));
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            const QByteArray data = f.readAll();
            std::string why;
            EXPECT_TRUE(flash3::fuzz::runImage(reinterpret_cast<const uint8_t*>(data.constData()),
                                               static_cast<std::size_t>(data.size()), &why))
                << folder << "/" << name.toStdString() << ": " << why;
            ++files;
        }
    }
    EXPECT_GE(files, 5);
}
