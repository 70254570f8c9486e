// "Select Input File": choose the image in a file-open dialog, open it and
// show its record count.

#include "app/form1.h"
#include "app/text_format.h"

#include <QDir>

namespace flash3 {

void Form1::SelectInputFile_Click()
{
    if (window_.programEnded())
        return;
    ImageFile.close();
    window_.setText(TextId::Text1, QString());
    FileName.clear();
    FileMode = 0;

    FileDialogSettings settings;
    settings.folder = QDir::currentPath();
    const std::optional<QString> chosen = showOpenDialog ? showOpenDialog(settings) : std::nullopt;
    if (!chosen) {
        Msg = QStringLiteral("Input file selection cancelled.");
        PostMsg2(Msg);
        return;
    }
    FileName = *chosen;
    if (FileName.isEmpty()) {
        Msg = QStringLiteral("No input file selected.");
        PostMsg1(Msg);
        return;
    }
    if (!ImageFile.open(FileName)) {
        Msg = QStringLiteral("Input file selection cancelled.");
        PostMsg2(Msg);
        postImageOpenHint(ImageFile.openError());
        return;
    }
    const int64_t count = recordCountForLength(ImageFile.length());
    if (count < 0) {
        ImageFile.close();
        Msg = tooLargeLine();
        PostMsg2(Msg);
        Msg = QStringLiteral("Input file selection cancelled.");
        PostMsg2(Msg);
        return;
    }
    window_.setText(TextId::Text1, FileName);
    FileMode = 1;
    if (count == 0) {
        // Nothing to program; "Program FLASH" will refuse it. No fraction can
        // be formed of 0 records: the counts show 0, and FractionDone and the
        // percentage keep what they held.
        RecordsLeft = 0;
        window_.setText(TextId::Text3, QString::number(RecordsLeft));
        RecordsTotal = 0;
        RecordsDone = 0;
        window_.setText(TextId::Text4, QString::number(RecordsDone));
        Msg = QStringLiteral("Input file selection cancelled.");
        PostMsg2(Msg);
        return;
    }
    startCount(static_cast<int32_t>(count));
}

void Form1::chooseImageFile(const QString& path)
{
    FileName = path;
    FileMode = 1;
    window_.setText(TextId::Text1, path);
}

} // namespace flash3
