// The check of the whole image before a run: no byte goes to the device until
// every record has been read once by the reader's rules. Most images are
// checked within the click; a large one is checked in slices on the ticks
// (RunMode::CheckingImage), with "Abort Process" working meanwhile.

#include "app/form1.h"
#include "app/text_format.h"
#include "image/image_check.h"

#include <utility>

namespace flash3 {

namespace {
int percentOf(int64_t part, int64_t whole)
{
    return whole > 0 ? static_cast<int>(part * 100 / whole) : 100;
}
} // namespace

void Form1::postImageOpenHint(const QString& why)
{
    if (!why.isEmpty())
        postHint(QStringLiteral("The input file ") + why + QLatin1Char('.'));
}

bool Form1::lookUpKnownDigests()
{
    knownDigests_ = knownDigests(ImageFile.openedPath(), RequiredSha256);
    for (const KnownDigest& known : knownDigests_) {
        if (known.problem.isEmpty())
            continue;
        Msg = QStringLiteral("** ERROR ** Checksum file ") + known.label() + QLatin1Char(' ') + known.problem
            + QStringLiteral(". Run not started.");
        PostMsg2(Msg);
        LastRunReport.cause = FailureCause::ChecksumFileUnusable;
        LastRunReport.digestSource = known.label();
        LastRunReport.digestProblem = known.problem;
        refuseRun();
        return false;
    }
    return true;
}

void Form1::beginImageCheck()
{
    if (!lookUpKnownDigests())
        return;
    const bool withSha256 = !knownDigests_.isEmpty();
    // A check made already counts only for the very file opened now: a file
    // written or replaced since is checked again.
    if (const std::shared_ptr<const CheckedImage> checked = std::exchange(precheck_, nullptr)) {
        if (checked->path == ImageFile.openedPath() && checked->identity == ImageFile.identityAtOpen()
            && checked->report.opened && !checked->report.tooLarge && !checked->blake2b.isEmpty()
            && (!withSha256 || !checked->sha256.isEmpty())) {
            imageChecked(*checked);
            return;
        }
    }
    imageCheck_ = std::make_unique<ImageCheck>();
    if (!imageCheck_->open(ImageFile.openedPath(), true, withSha256)) {
        const QString why = imageCheck_->openError();
        imageCheck_.reset();
        Msg = QStringLiteral("** ERROR ** Cannot open input file: ") + FileName;
        PostMsg2(Msg);
        postImageOpenHint(why);
        LastRunReport.imageOpenError = why;
        refuseAs(FailureCause::CannotOpenImage);
        return;
    }
    if (imageCheck_->step(CheckSliceBytes)) {
        finishImageCheck();
        return;
    }
    AbortPending = False;
    window_.setEnabled(ButtonId::ConfigComPort, false);
    window_.setEnabled(ButtonId::SelectInputFile, false);
    window_.setCaption(ButtonId::ProgramFlash, QStringLiteral("Abort Process"));
    Msg = QStringLiteral("Hint: Checking the input file before the run; \"Abort Process\" stops the check.");
    PostMsg2(Msg);
    window_.setCheckProgress(percentOf(imageCheck_->bytesChecked(), imageCheck_->length()));
    ProgramMode = RunMode::CheckingImage;
    window_.setRunActive(true);
}

void Form1::CheckImageStep()
{
    if (!imageCheck_->step(CheckSliceBytes)) {
        window_.setCheckProgress(percentOf(imageCheck_->bytesChecked(), imageCheck_->length()));
        return;
    }
    finishImageCheck();
}

void Form1::finishImageCheck()
{
    const std::unique_ptr<ImageCheck> check = std::move(imageCheck_);
    window_.setCheckProgress(-1);
    imageChecked(check->result());
}

void Form1::imageChecked(const CheckedImage& checked)
{
    const ImageCheckReport& report = checked.report;
    LastRunReport.faultyRecords = report.faultyRecords;
    LastRunReport.firstFault = report.firstFault;
    // Not the file released, whatever its records look like.
    const QByteArray sha256 = checked.sha256.toHex();
    for (const KnownDigest& known : knownDigests_) {
        if (known.sha256 == sha256)
            continue;
        Msg = QStringLiteral("** ERROR ** Input file's SHA-256 is ") + QString::fromLatin1(sha256)
            + QStringLiteral(", but ") + known.label() + QStringLiteral(" gives ") + QString::fromLatin1(known.sha256)
            + QStringLiteral(". Run not started.");
        PostMsg2(Msg);
        LastRunReport.cause = FailureCause::ImageDigestMismatch;
        LastRunReport.digestSource = known.label();
        refuseRun();
        return;
    }
    if (report.faultyRecords > 0 && !AllowFaultyImage) {
        const ImageFault& first = *report.firstFault;
        Msg = QStringLiteral("** ERROR ** Input file has %1 faulty record%2 (first at line %3, column %4: %5). "
                             "Run not started.")
                  .arg(report.faultyRecords)
                  .arg(report.faultyRecords == 1 ? "" : "s")
                  .arg(first.line)
                  .arg(first.column)
                  .arg(visibleText(first.message));
        PostMsg2(Msg);
        if (report.lineEndsConverted) {
            Msg = QStringLiteral("Hint: The image's line ends are not CR LF: an editor or a text-mode file transfer "
                                 "converted it. Flash the original file; flash3-cli --check lists what is wrong.");
            PostMsg2(Msg);
        }
        LastRunReport.lineEndsConverted = report.lineEndsConverted;
        LastRunReport.cause = FailureCause::ImageFaults;
        refuseRun();
        return;
    }
    for (const KnownDigest& known : knownDigests_)
        postHint(QStringLiteral("The input file's SHA-256 matches ") + known.label() + QLatin1Char('.'));
    checkedDigest_ = checked.blake2b;
    checkedIdentity_ = checked.identity;
    startRun();
}

void Form1::cancelImageCheck()
{
    imageCheck_.reset();
    window_.setCheckProgress(-1);
    Msg = QStringLiteral("Hint: Run aborted while the input file was being checked; nothing was sent.");
    PostMsg2(Msg);
    refuseRun();
    LastRunOutcome = RunOutcome::Aborted;
}

// Back to idle without a run: nothing was sent, so there is no run to end.
void Form1::refuseRun()
{
    ProgramMode = RunMode::Idle;
    window_.setRunActive(false);
    AbortPending = False;
    window_.setEnabled(ButtonId::ConfigComPort, true);
    window_.setEnabled(ButtonId::SelectInputFile, true);
    window_.setCaption(ButtonId::ProgramFlash, QStringLiteral("Program FLASH"));
    LastRunReport.errorLine = lastErrorLine_;
    LastRunOutcome = RunOutcome::Failed;
}

} // namespace flash3
