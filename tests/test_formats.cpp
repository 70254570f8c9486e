// The texts of numbers: hex, percentages, record counts; the port record.

#include "app/text_format.h"
#include "serial/driver.h"

#include <QLocale>

#include <gtest/gtest.h>

using namespace flash3;

TEST(Formats, HexIsUpperCaseWithoutLeadingZeros)
{
    EXPECT_EQ(hexText(0), "0");
    EXPECT_EQ(hexText(10), "A");
    EXPECT_EQ(hexText(0x2A), "2A");
    EXPECT_EQ(hexText(255), "FF");
}

TEST(Formats, PercentHasOneOrTwoDecimals)
{
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(percentText(0.0f), "0.0 %");
    EXPECT_EQ(percentText(1.0f / 7), "14.29 %");
    EXPECT_EQ(percentText(2.0f / 7), "28.57 %");
    EXPECT_EQ(percentText(0.5f), "50.0 %");
    EXPECT_EQ(percentText(1.0f / 3), "33.33 %");
    EXPECT_EQ(percentText(1.0f), "100.0 %");
    EXPECT_EQ(percentText(0.071f), "7.1 %");
    EXPECT_EQ(percentText(4.0f / 7), "57.14 %");
    EXPECT_EQ(percentText(6.0f / 7), "85.71 %");
    EXPECT_EQ(percentText(0.12345f), "12.35 %");
}

TEST(Formats, PercentUsesTheLocalesDecimalSeparator)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(percentText(1.0f / 7), "14,29 %");
    EXPECT_EQ(percentText(1.0f), "100,0 %");
    QLocale::setDefault(QLocale::c());
}

TEST(Formats, RecordCountRoundsHalvesToEven)
{
    EXPECT_EQ(recordCountForLength(0), 0);
    EXPECT_EQ(recordCountForLength(2), 0);
    EXPECT_EQ(recordCountForLength(3), 1);
    EXPECT_EQ(recordCountForLength(6), 2);
    EXPECT_EQ(recordCountForLength(10), 2);
    EXPECT_EQ(recordCountForLength(14), 4);
    EXPECT_EQ(recordCountForLength(40), 10);
    EXPECT_EQ(recordCountForLength(4000), 1000);
    EXPECT_EQ(recordCountForLength(int64_t{4} * 2147483647), 2147483647);
    EXPECT_EQ(recordCountForLength(int64_t{8} << 30), -1);  // 8 GiB: too many for the counters
}

TEST(Formats, PortParamRecordIsLittleEndian)
{
    PortParamRecord r;
    r.setInt32(8, 11);
    r.setInt16(14, 3);
    r.setInt16(20, -2);
    EXPECT_EQ(r.bytes[8], 11);
    EXPECT_EQ(r.bytes[9], 0);
    EXPECT_EQ(r.int32At(8), 11);
    EXPECT_EQ(r.bytes[14], 3);
    EXPECT_EQ(r.int16At(20), -2);
    EXPECT_EQ(r.bytes[21], 0xFF);
}
