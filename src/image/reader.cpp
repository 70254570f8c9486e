// The .pf3 reader: four-character records T (send), R (expect), E (line end),
// read until one needs the device or the file ends.

#include "app/form1.h"
#include "app/text_format.h"

namespace flash3 {

void Form1::ReadNextRecord()
{
    for (;;) {
        if (ImageFile.atEnd()) {
            imageEnded();
            return;
        }
        char record[4];
        const int got = ImageFile.read(record, 4);
        if (got < 0) {
            imageReadFailed();
            return;
        }
        if (got < 4) {
            endOfImage(got, record);
            return;
        }
        RecType.assign(record, 1);
        RecData.assign(record + 1, 2);
        RecSep.assign(record + 3, 1);
        noteRecordPosition(record);

        --RecordsLeft;
        ++RecordsDone;
        showProgress();

        if (RecSep != ":") {
            Msg = QStringLiteral("Char4 not a :");
            PostMsg2(Msg);
            if (faultyRecordEndsRun())
                return;
            continue;
        }
        switch (RecType.at(0)) {
        case 'T':
            TxByte = HexPairToByte(RecData);
            if (!(isHexDigit(RecData.at(0)) && isHexDigit(RecData.at(1))) && faultyRecordEndsRun())
                return;
            ProgramMode = RunMode::Transmit;
            return;
        case 'R':
            ExpectedByte = HexPairToByte(RecData);
            if (!(isHexDigit(RecData.at(0)) && isHexDigit(RecData.at(1))) && faultyRecordEndsRun())
                return;
            TimeoutCount = TimeoutReload;
            ProgramMode = RunMode::Verify;
            return;
        case 'E':
            if (RecData != "\r\n") {
                Msg = QStringLiteral("Error. Expected <cr> <lf> not found.");
                PostMsg2(Msg);
                if (!faultyRecordEndsRun())
                    failRun(FailureCause::BadLineEnd);
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
            if (faultyRecordEndsRun())
                return;
            continue;
        }
    }
}

// Line and column of the record just read, for whoever reports where a run stopped.
void Form1::noteRecordPosition(const char* record)
{
    LastRunReport.line = nextLine_;
    LastRunReport.column = nextOffset_ - nextLineStart_ + 1;
    for (int i = 0; i < 4; ++i) {
        if (record[i] == '\n') {
            ++nextLine_;
            nextLineStart_ = nextOffset_ + i + 1;
        }
    }
    nextOffset_ += 4;
}

// The image was read to its end. It completes only when what was read is
// what the check before the run read.
void Form1::imageEnded()
{
    if (ImageFile.digest() != checkedDigest_ || FileIdentity::of(ImageFile.openedPath()) != checkedIdentity_) {
        imageChanged();
        return;
    }
    // The count from the file's length is an estimate (a line end after the
    // final ":" adds half a record); a normal end shows every record done.
    if (RecordsLeft != 0 || RecordsTotal != RecordsDone) {
        RecordsLeft = 0;
        RecordsTotal = RecordsDone;
        showProgress();
    }
    // A run is complete only once its last bytes have left: with queued
    // transmit they may still wait in the queue.
    if (!sendQueuedBytes())
        return;
    endRunAs(RunOutcome::Completed);
    Msg = QStringLiteral("Processing complete.  Exit this application.");
    PostMsg1(Msg);
}

void Form1::imageReadFailed()
{
    if (ImageFile.changedOnDisk()) {
        imageChanged();
        return;
    }
    Msg = QStringLiteral("Error reading input file.");
    PostMsg2(Msg);
    failRun(FailureCause::ImageReadError);
}

bool Form1::faultyRecordEndsRun()
{
    if (AllowFaultyImage)
        return false;
    imageChanged();
    return true;
}

void Form1::imageChanged()
{
    Msg = QStringLiteral("** ERROR ** Input file changed during the run: it is no longer the file that was checked.");
    PostMsg2(Msg);
    failRun(FailureCause::ImageChanged);
}

// The file ended inside a record. Line ends or blanks after the final ":" (as
// editors add) end the image normally; anything else is a truncated image.
void Form1::endOfImage(int leftover, const char* chars)
{
    for (int i = 0; i < leftover; ++i) {
        if (chars[i] != '\r' && chars[i] != '\n' && chars[i] != ' ') {
            LastRunReport.line = nextLine_;
            LastRunReport.column = nextOffset_ - nextLineStart_ + 1;
            Msg = QStringLiteral("Error. Incomplete record at end of input file.");
            PostMsg2(Msg);
            if (!faultyRecordEndsRun())
                failRun(FailureCause::IncompleteRecord);
            return;
        }
    }
    imageEnded();
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
