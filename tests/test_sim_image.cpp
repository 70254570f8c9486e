// flash3-sim: the images it reads, its --reply bytes, and the sample images it writes.

#include "sim_harness.h"

using namespace flash3sim;
using namespace flash3sim::testing;

// ---- reading images ---------------------------------------------------------

TEST(ImageParse, WorkedExampleGivesRecordsInOrder)
{
    const ParsedImage image = parseImage(kWorkedExample);
    ASSERT_EQ(image.records.size(), 7u);
    const Record::Kind kinds[] = {Record::Send, Record::Send, Record::Answer, Record::LineEnd,
                                  Record::Send, Record::Answer, Record::LineEnd};
    const uint8_t values[] = {0x41, 0x00, 0x41, 0, 0x42, 0x2A, 0};
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(image.records[i].kind, kinds[i]) << i;
        EXPECT_EQ(image.records[i].value, values[i]) << i;
        EXPECT_EQ(image.records[i].offset, i * 4) << i;
    }
    EXPECT_EQ(image.sendCount, 3u);
    EXPECT_EQ(image.answerCount, 2u);
    EXPECT_EQ(image.skipped, 0u);
    EXPECT_FALSE(image.endsEarly);
}

TEST(ImageParse, SkipsBadSeparatorsAndUnknownTypes)
{
    // T41; has no colon, X12 and lower-case t are no known type.
    const ParsedImage image = parseImage("T41;X12:t33:R05:E\r\n;T07:");
    ASSERT_EQ(image.records.size(), 2u);
    EXPECT_EQ(image.records[0].kind, Record::Answer);
    EXPECT_EQ(image.records[0].offset, 12u);
    EXPECT_EQ(image.records[1].kind, Record::Send);
    EXPECT_EQ(image.records[1].value, 0x07);
    EXPECT_EQ(image.skipped, 4u);  // the E with a bad separator is skipped, not an end
    EXPECT_FALSE(image.endsEarly);
}

TEST(ImageParse, BadHexDigitsCountAsZero)
{
    const ParsedImage image = parseImage("T4g:Ta1:R-5:TFF:");
    ASSERT_EQ(image.records.size(), 4u);
    EXPECT_EQ(image.records[0].value, 0x40);
    EXPECT_EQ(image.records[1].value, 0x01);  // only upper-case letters are digits
    EXPECT_EQ(image.records[2].value, 0x05);
    EXPECT_EQ(image.records[3].value, 0xFF);
    EXPECT_EQ(image.invalidDigits, 3u);
}

TEST(ImageParse, LineEndWithoutCrLfEndsImageAndPartialRecordIsIgnored)
{
    const ParsedImage early = parseImage("T41:E\r\r:T42:R42:");
    ASSERT_EQ(early.records.size(), 1u);
    EXPECT_TRUE(early.endsEarly);
    EXPECT_EQ(early.endOffset, 4u);
    EXPECT_EQ(early.sendCount, 1u);

    const ParsedImage partial = parseImage("T41:R4");
    ASSERT_EQ(partial.records.size(), 1u);
    EXPECT_EQ(partial.trailing, 2u);
    EXPECT_EQ(parseImage("").records.size(), 0u);
}

// ---- --reply -----------------------------------------------------------------

TEST(ReplyParse, AcceptsBytesPausesAndNone)
{
    std::vector<ReplyStep> steps;
    std::string error;
    ASSERT_TRUE(parseReply("91,w55,26", steps, error)) << error;
    const std::vector<ReplyStep> want{{false, 0, 0x91}, {true, 55, 0}, {false, 0, 0x26}};
    EXPECT_EQ(steps, want);

    ASSERT_TRUE(parseReply("a", steps, error)) << error;
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].byte, 0x0A);

    ASSERT_TRUE(parseReply("none", steps, error)) << error;
    EXPECT_TRUE(steps.empty());
}

TEST(ReplyParse, RejectsMalformedTokens)
{
    for (const char* bad : {"", ",", "91,", "91,,26", "123", "zz", "0x9", " 91", "w", "w-5", "w5x", "-1"}) {
        std::vector<ReplyStep> steps;
        std::string error;
        EXPECT_FALSE(parseReply(bad, steps, error)) << '"' << bad << '"';
        EXPECT_FALSE(error.empty()) << '"' << bad << '"';
    }
}

// ---- the sample writer ---------------------------------------------------------

TEST(SampleImage, LinesHaveBurstThenCheckAnswerThenLineEnd)
{
    SampleOptions options;
    options.lines = 7;
    options.burst = 5;
    options.seed = 3;
    const std::string text = makeSampleImage(options);
    ASSERT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(text.size(), 7u * (5 + 2) * 4);
    EXPECT_EQ(text.substr(text.size() - 4), "E\r\n:");

    const ParsedImage image = parseImage(text);
    EXPECT_EQ(image.skipped, 0u);
    EXPECT_EQ(image.invalidDigits, 0u);
    ASSERT_EQ(image.records.size(), 7u * 7);
    for (std::size_t line = 0; line < 7; ++line) {
        uint8_t check = 0;
        for (std::size_t i = 0; i < 5; ++i) {
            const Record& r = image.records[line * 7 + i];
            ASSERT_EQ(r.kind, Record::Send);
            check ^= r.value;
        }
        EXPECT_EQ(image.records[line * 7 + 5].kind, Record::Answer);
        EXPECT_EQ(image.records[line * 7 + 5].value, check);
        EXPECT_EQ(image.records[line * 7 + 6].kind, Record::LineEnd);
    }
}

TEST(SampleImage, SameSeedSameFileOtherSeedOtherBytes)
{
    SampleOptions a;
    SampleOptions b;
    b.seed = 2;
    EXPECT_EQ(makeSampleImage(a), makeSampleImage(a));
    EXPECT_NE(makeSampleImage(a), makeSampleImage(b));
    EXPECT_EQ(makeSampleImage(a).size(), 300u * 18 * 4);

    std::string error;
    const std::string path = tempDir() + "/sample.pf3";
    ASSERT_TRUE(writeSampleImage(path, a, error)) << error;
    std::ifstream in(path, std::ios::binary);
    const std::string onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(onDisk, makeSampleImage(a));
}
