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
    startCount(static_cast<int32_t>(count));
    if (RecordsTotal == 0) {
        // Nothing to program; "Program FLASH" will refuse it.
        Msg = QStringLiteral("Input file selection cancelled.");
        PostMsg2(Msg);
    }
}

} // namespace flash3
