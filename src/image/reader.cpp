// The .pf3 reader: four-character records T (send), R (expect), E (line end),
// read until one needs the device or the file ends.

#include "app/form1.h"
#include "app/text_format.h"

namespace flash3 {

void Form1::ReadNextRecord()
{
    for (;;) {
        if (ImageFile.atEnd()) {
            endRunAs(RunOutcome::Completed);
            Msg = QStringLiteral("Processing complete.  Exit this application.");
            PostMsg1(Msg);
            return;
        }
        char record[4];
        const int got = ImageFile.read(record, 4);
        if (got < 0) {
            Msg = QStringLiteral("Error reading input file.");
            PostMsg2(Msg);
            EndRun();
            return;
        }
        if (got < 4) {
            endOfImage(got, record);
            return;
        }
        RecType.assign(record, 1);
        RecData.assign(record + 1, 2);
        RecSep.assign(record + 3, 1);

        --RecordsLeft;
        ++RecordsDone;
        showProgress();

        if (RecSep != ":") {
            Msg = QStringLiteral("Char4 not a :");
            PostMsg2(Msg);
            continue;
        }
        switch (RecType.at(0)) {
        case 'T':
            TxByte = HexPairToByte(RecData);
            ProgramMode = 1;
            return;
        case 'R':
            ExpectedByte = HexPairToByte(RecData);
            TimeoutCount = TimeoutReload;
            ProgramMode = 2;
            return;
        case 'E':
            if (RecData != "\r\n") {
                Msg = QStringLiteral("Error. Expected <cr> <lf> not found.");
                PostMsg2(Msg);
                EndRun();
                return;
            }
            Msg = QStringLiteral("Processing ...   ") + QString::number(RecordsDone);
            TimeNow = timeOfDayText();
            if (TimeNow != TimeShown) {
                Msg += QStringLiteral("          Time: ") + TimeNow;
                TimeShown = TimeNow;
            }
            PostMsg1(Msg);
            continue;
        default:
            Msg = QStringLiteral("Invalid packet read from input file.  ") + RecType.toString() + RecData.toString()
                + RecSep.toString();
            PostMsg2(Msg);
            continue;
        }
    }
}

// The file ended inside a record. Line ends or blanks after the final ":" (as
// editors add) end the image normally; anything else is a truncated image.
void Form1::endOfImage(int leftover, const char* chars)
{
    for (int i = 0; i < leftover; ++i) {
        if (chars[i] != '\r' && chars[i] != '\n' && chars[i] != ' ') {
            Msg = QStringLiteral("Error. Incomplete record at end of input file.");
            PostMsg2(Msg);
            EndRun();
            return;
        }
    }
    endRunAs(RunOutcome::Completed);
    Msg = QStringLiteral("Processing complete.  Exit this application.");
    PostMsg1(Msg);
}

uint8_t Form1::HexPairToByte(const FixedText<2>& text)
{
    const auto digit = [this](char c, const char* label, int& value) {
        const auto code = static_cast<unsigned char>(c);
        if (c >= '0' && c <= '9') {
            value = code - 48;
        } else if (c >= 'A' && c <= 'F') {
            value = code - 55;
        } else {
            Msg = QString::fromLatin1(label) + hexText(code);
            PostMsg2(Msg);
            value = 0;
        }
    };
    int high = 0;
    int low = 0;
    digit(text.at(0), "Nib1 not valid: ", high);
    digit(text.at(1), "Nib0 not valid: ", low);
    return static_cast<uint8_t>(high * 16 + low);
}

} // namespace flash3
