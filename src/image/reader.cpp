// The .pf3 reader: reads records (image/record.h) until one needs the device
// or the file ends.

#include "app/form1.h"
#include "app/text_format.h"
#include "image/image_check.h"

namespace flash3 {

void Form1::ReadNextRecord()
{
    for (;;) {
        if (ImageFile.atEnd()) {
            imageEnded();
            return;
        }
        char record[RecordSize];
        const int got = ImageFile.read(record, RecordSize);
        if (got < 0) {
            imageReadFailed();
            return;
        }
        if (got < RecordSize) {
            endOfImage(got, record);
            return;
        }
        RecType.assign(record, 1);
        RecData.assign(record + 1, 2);
        RecSep.assign(record + 3, 1);
        // Where the record starts, for whoever reports where a run stopped.
        LastRunReport.line = cursor_.line;
        LastRunReport.column = cursor_.column();
        cursor_.pass(record);

        --RecordsLeft;
        ++RecordsDone;
        showProgress();

        const ImageRecord read = readRecord(record);
        for (int i = 0; i < read.faultCount; ++i) {
            Msg = recordFaultMessage(read.faults[i], record);
            PostMsg2(Msg);
        }
        switch (read.kind) {
        case RecordKind::Send:
            TxByte = read.value;
            if (read.faulty() && faultyRecordEndsRun())
                return;
            ProgramMode = RunMode::Transmit;
            return;
        case RecordKind::Expect:
            ExpectedByte = read.value;
            if (read.faulty() && faultyRecordEndsRun())
                return;
            TimeoutCount = TimeoutReload;
            ProgramMode = RunMode::Verify;
            return;
        case RecordKind::LineEnd:
            if (read.faulty()) {
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
        case RecordKind::Skipped:
            if (faultyRecordEndsRun())
                return;
            continue;
        }
    }
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
    Msg = recordFaultMessage({RecordFaultKind::ReadError});
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
    if (!isQuietTail(chars, leftover)) {
        LastRunReport.line = cursor_.line;
        LastRunReport.column = cursor_.column();
        Msg = recordFaultMessage({RecordFaultKind::Incomplete});
        PostMsg2(Msg);
        if (!faultyRecordEndsRun())
            failRun(FailureCause::IncompleteRecord);
        return;
    }
    imageEnded();
}

} // namespace flash3
