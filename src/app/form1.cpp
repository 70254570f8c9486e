#include "app/form1.h"

#include "app/text_format.h"
#include "image/image_check.h"

namespace flash3 {

Form1::Form1(SerialDriver& driver) : driver_(driver)
{
    window_.setCaption(ButtonId::ProgramFlash, QStringLiteral("Program FLASH"));
    window_.setCaption(ButtonId::ConfigComPort, QStringLiteral("Configure COM port"));
    window_.setCaption(ButtonId::SelectInputFile, QStringLiteral("Select Input File"));
    window_.setCaption(ButtonId::AbortProgram, QStringLiteral("Exit / Abort"));
}

Form1::~Form1() = default;

void Form1::InitVariables()
{
    CommandLine.clear();
    FileName.clear();
    FileMode = 0;
    RecordsLeft = 0;
    RecordsTotal = 0;
    RecordsDone = 0;
    FractionDone = 0;
    ComPort = 4;
    PortIndex = 3;
    ComSpeed = 4;
    PortOpen = False;
    DrvStatus = 0;
    PortBusy = False;
    RxByte = -1;
    TxByte = 0;
    RecType = FixedText<1>();
    RecData = FixedText<2>();
    RecSep = FixedText<1>();
    RecordsDone = 0;
    LastByte0 = 0;
    LastByte1 = 0;
    ProgramMode = RunMode::Idle;

    window_.clearLog(LogId::List1);
    window_.clearLog(LogId::List2);
    for (TextId id : {TextId::Text1, TextId::Text2, TextId::Text3, TextId::Text4, TextId::Text5})
        window_.setText(id, QString());
    window_.setCaretToEnd(TextId::Text1);
    window_.setCaretToEnd(TextId::Text2);

    Msg.clear();
    AbortPending = False;
    TimeoutReload = 36;
    TimeoutCount = 36;
    IsrActive = False;
    AbortPending = False;
    ExpectedByte = 0;

    QStringList ports;
    ports.reserve(100);
    for (int n = 0; n <= 99; ++n)
        ports << QString::number(n);
    window_.setPortList(ports);
    window_.selectPort(2);
    window_.selectBaudBtn(ComSpeed);
    for (int i = 1; i <= 5; ++i)
        window_.setBaudBtnEnabled(i, true);
}

void Form1::PostMsg1(const QString& Msgx)
{
    window_.appendLog(LogId::List1, Msgx);
}

void Form1::PostMsg2(const QString& Msgy)
{
    // A hint says what to do next, never what went wrong.
    if (!Msgy.startsWith(QLatin1String("Hint: ")))
        lastErrorLine_ = Msgy;
    window_.appendLog(LogId::List2, Msgy);
}

void Form1::ClearStatus_Click()
{
    window_.clearLog(LogId::List1);
}

void Form1::ClearDebug_Click()
{
    window_.clearLog(LogId::List2);
}

// One tick of Timer2: count the read time-out down, then run one step.
void Form1::Timer2_Timer()
{
    if (window_.programEnded())
        return;
    if (TimeoutCount != 0)
        --TimeoutCount;
    if (IsrActive)
        return;
    IsrActive = True;
    if (AbortPending) {
        if (ProgramMode == RunMode::CheckingImage)
            cancelImageCheck();
        else
            endRunAs(RunOutcome::Aborted);
    }
    switch (ProgramMode) {
    case RunMode::Idle:
        break;
    case RunMode::CheckingImage:
        CheckImageStep();
        break;
    case RunMode::SendEntryByte1:
        SendEntryByte1();
        break;
    case RunMode::SendEntryByte2:
        SendEntryByte2();
        break;
    case RunMode::AwaitEntryReply:
        AwaitEntryReply();
        break;
    case RunMode::Transmit:
        TransmitStep();
        break;
    case RunMode::Verify:
        VerifyStep();
        break;
    default:
        Msg = QStringLiteral("ProgramMode unexpected: ") + QString::number(modeNumber(ProgramMode));
        PostMsg2(Msg);
        LastRunReport.mode = modeNumber(ProgramMode);
        failRun(FailureCause::InvalidMode);
        break;
    }
    IsrActive = False;
}

void Form1::showProgress()
{
    window_.setText(TextId::Text3, QString::number(RecordsLeft));
    window_.setText(TextId::Text4, QString::number(RecordsDone));
    setFraction();
}

void Form1::setFraction()
{
    // An empty image has no fraction to show; it reads as nothing done.
    FractionDone = RecordsTotal > 0
        ? static_cast<float>(static_cast<double>(RecordsDone) / static_cast<double>(RecordsTotal))
        : 0.0f;
    window_.setText(TextId::Text5, percentText(FractionDone));
}

Form1::OpenResult Form1::OpenImageFile()
{
    ImageFile.close();
    if (!ImageFile.open(FileName))
        return OpenResult::CannotOpen;
    const int64_t count = recordCountForLength(ImageFile.length());
    if (count < 0) {
        ImageFile.close();
        return OpenResult::TooLarge;
    }
    startCount(static_cast<int32_t>(count));
    return OpenResult::Opened;
}

void Form1::startCount(int32_t records)
{
    RecordsLeft = records;
    window_.setText(TextId::Text3, QString::number(RecordsLeft));
    RecordsTotal = RecordsLeft;
    RecordsDone = 0;
    window_.setText(TextId::Text4, QString::number(RecordsDone));
    setFraction();
}

QString Form1::tooLargeLine() const
{
    return QStringLiteral("** ERROR ** Input file too large (more than 2147483647 records): ") + FileName;
}

void Form1::ProgramFlash_Click()
{
    if (window_.programEnded())
        return;
    if (IsrActive) {
        if (ProgramMode != RunMode::Idle) {
            AbortPending = True;
            Msg = QStringLiteral("ProgramMode not zero.  Abort is pending.");
            PostMsg1(Msg);
        }
        return;
    }
    if (ProgramMode == RunMode::CheckingImage) {
        cancelImageCheck();
        return;
    }
    if (ProgramMode != RunMode::Idle) {
        endRunAs(RunOutcome::Aborted);
        return;
    }

    LastRunReport = RunReport();
    LastRunOutcome = RunOutcome::None;
    if (FileMode != 1) {
        Msg = QStringLiteral("** ERROR ** Select an input file.");
        PostMsg2(Msg);
        refuseAs(FailureCause::CannotOpenImage);
        return;
    }
    if (!OpenImageForRun())
        return;
    if (!PortOpen) {
        Msg = QStringLiteral("** ERROR ** Com Port not initialized.");
        PostMsg2(Msg);
        refuseAs(FailureCause::PortNotOpen);
        return;
    }
    if (portGone_) {
        // Its device went away: every line of a run would fail one by one.
        postHint(QStringLiteral("The device on ") + portText()
                 + (Hints == HintsFor::Cli
                        ? QStringLiteral(" went away during the last run: plug it in, then run flash3-cli again.")
                        : QStringLiteral(" went away during the last run: plug it in, then set the port up again "
                                         "(\"Configure COM port\", \"Initialize\") before programming.")));
        refuseAs(FailureCause::PortGone);
        return;
    }
    beginImageCheck();
}

bool Form1::OpenImageForRun()
{
    FailureCause cause = FailureCause::None;
    switch (OpenImageFile()) {
    case OpenResult::Opened:
        if (RecordsTotal == 0) {
            Msg = QStringLiteral("** ERROR ** Input file holds no records.");
            cause = FailureCause::ImageEmpty;
        }
        break;
    case OpenResult::CannotOpen:
        Msg = QStringLiteral("** ERROR ** Cannot open input file: ") + FileName;
        cause = FailureCause::CannotOpenImage;
        LastRunReport.imageOpenError = ImageFile.openError();
        break;
    case OpenResult::TooLarge:
        Msg = tooLargeLine();
        cause = FailureCause::ImageTooLarge;
        break;
    }
    if (cause == FailureCause::None)
        return true;
    PostMsg2(Msg);
    if (cause == FailureCause::CannotOpenImage)
        postImageOpenHint(ImageFile.openError());
    refuseAs(cause);
    return false;
}

void Form1::refuseAs(FailureCause cause)
{
    LastRunReport.cause = cause;
    LastRunReport.errorLine = lastErrorLine_;
    LastRunOutcome = RunOutcome::Failed;
}

// Everything from the flush to the first entry byte: the image has been checked.
void Form1::startRun()
{
    AbortPending = False;
    window_.setEnabled(ButtonId::ConfigComPort, false);
    window_.setEnabled(ButtonId::SelectInputFile, false);
    FlushBuffers();
    Msg = QStringLiteral("Starting voDOZUD of KORVEN-7 interface.");
    PostMsg2(Msg);
    Msg = QStringLiteral("Start time:    ") + timeOfDayText();
    PostMsg2(Msg);
    window_.setCaption(ButtonId::ProgramFlash, QStringLiteral("Abort Process"));
    // A run must be judged on its own reply only, never on bytes a previous run left.
    LastByte0 = 0;
    LastByte1 = 0;
    replyBytes_ = 0;
    replyTail_.clear();
    cursor_ = RecordCursor{};
    // What is sent must be what was checked: the run's reads keep a digest to
    // compare at the end, and stop at once should the file change on disk.
    ImageFile.keepDigest();
    ImageFile.guardAgainstChange(checkedIdentity_);
    LastRunReport.started = true;
    LastRunReport.records = RecordsTotal;
    pendingOutcome_ = RunOutcome::Failed;
    ProgramMode = RunMode::SendEntryByte1;
    TimeoutCount = TimeoutReload;
    window_.setRunActive(true);
}

bool Form1::sendQueuedBytes()
{
    if (!driver_.queuedTransmit())
        return true;
    const int64_t queued = driver_.queuedBytes(ComPort);
    const int32_t status = driver_.SendQueued();
    if (status == 0)
        return true;
    Msg = QStringLiteral("Error in put byte: ") + QString::number(status);
    PostMsg2(Msg);
    if (status == DrvIoError)
        portGone_ = true;
    if (ProgramMode == RunMode::Idle || ProgramMode == RunMode::CheckingImage)
        return true;  // no run whose bytes these were
    if (ProgramMode == RunMode::Transmit || ProgramMode == RunMode::Verify)
        LastRunReport.bytesSent -= queued;  // image bytes; the entry bytes are not counted
    LastRunReport.driverStatus = status;
    failRun(FailureCause::SendFailed);
    return false;
}

void Form1::endRunAs(RunOutcome outcome)
{
    pendingOutcome_ = outcome;
    EndRun();
}

void Form1::failRun(FailureCause cause)
{
    // A device that is gone shows as a refused byte, a silent line or a
    // missing reply, depending on when the run noticed: one fault, one name.
    if (portGone_ && (cause == FailureCause::SendFailed || cause == FailureCause::NoAnswer
                      || cause == FailureCause::EntryRejected)) {
        cause = FailureCause::DeviceGone;
        LastRunReport.driverStatus = DrvIoError;
    }
    LastRunReport.cause = cause;
    postRunHints(cause);
    endRunAs(RunOutcome::Failed);
}

void Form1::EndRun()
{
    ProgramMode = RunMode::Idle;
    window_.setRunActive(false);
    if (pendingOutcome_ == RunOutcome::Failed)
        LastRunReport.errorLine = lastErrorLine_;
    Msg = QStringLiteral("Stop time:    ") + timeOfDayText();
    PostMsg2(Msg);
    for (const char* line : {"Completing or Aborting operations.", "----------",
                             "If aborting, cycle interface power before trying again.", "   ",
                             "================", "   "}) {
        Msg = QString::fromLatin1(line);
        PostMsg1(Msg);
    }
    window_.setEnabled(ButtonId::ConfigComPort, true);
    window_.setEnabled(ButtonId::SelectInputFile, true);
    window_.setCaption(ButtonId::ProgramFlash, QStringLiteral("Program FLASH"));
    AbortPending = False;
    LastRunOutcome = pendingOutcome_;
    pendingOutcome_ = RunOutcome::Failed;
    LastRunReport.record = RecordsDone;
}

void Form1::AbortProgram_Click()
{
    if (window_.programEnded())
        return;
    if (IsrActive) {
        Msg = QStringLiteral("ISR active.  Try to exit again.");
        PostMsg1(Msg);
        window_.setTimerEnabled(false);
        return;
    }
    if (PortBusy) {
        Msg = QStringLiteral("COM port in-use.  Try to exit again.");
        PostMsg1(Msg);
        window_.setTimerEnabled(false);
        return;
    }
    ProgramMode = RunMode::Idle;
    window_.setRunActive(false);
    if (FileMode != 0) {
        ImageFile.close();
        Msg = QStringLiteral("Input file closed.");
        PostMsg1(Msg);
    }
    if (PortOpen) {
        window_.setTimerEnabled(false);
        ClosePort(LogId::List1);
    }
    Msg = QStringLiteral("Program terminated.");
    PostMsg1(Msg);
    window_.endProgram();
}

void Form1::exitNow()
{
    AbortProgram_Click();
    if (window_.programEnded())
        return;
    // Refused: the tick or the write it waits for cannot come, as nothing
    // else runs on this thread now. Close all the same.
    IsrActive = False;
    PortBusy = False;
    AbortProgram_Click();
}

RunPhase Form1::phase() const
{
    switch (ProgramMode) {
    case RunMode::Idle:
        break;
    case RunMode::CheckingImage:
        return RunPhase::Checking;
    case RunMode::SendEntryByte1:
    case RunMode::SendEntryByte2:
    case RunMode::AwaitEntryReply:
        return RunPhase::Handshake;
    default:
        return RunPhase::Sending;
    }
    switch (LastRunOutcome) {
    case RunOutcome::None:
        return RunPhase::Waiting;
    case RunOutcome::Completed:
        return RunPhase::Completed;
    case RunOutcome::Aborted:
        return RunPhase::Aborted;
    case RunOutcome::Failed:
        break;
    }
    return LastRunReport.started ? RunPhase::Failed : RunPhase::Refused;
}

bool Form1::abortRun(FailureCause cause, const QString& why)
{
    const bool justCompleted = ProgramMode == RunMode::Idle && LastRunOutcome == RunOutcome::Completed;
    if (IsrActive || (ProgramMode == RunMode::Idle && !justCompleted))
        return false;
    postHint(why);  // for a completed run, after its closing lines: it is over already
    const QString hint = Msg;
    if (ProgramMode == RunMode::CheckingImage) {
        imageCheck_.reset();
        window_.setCheckProgress(-1);
        refuseRun();
    } else if (ProgramMode != RunMode::Idle) {
        // Before the first entry byte nothing was sent: a refusal.
        if (ProgramMode == RunMode::SendEntryByte1)
            LastRunReport.started = false;
        endRunAs(RunOutcome::Failed);
    }
    LastRunReport.cause = cause;
    LastRunReport.errorLine = hint;
    LastRunOutcome = RunOutcome::Failed;
    return true;
}

} // namespace flash3
