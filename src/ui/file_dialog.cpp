#include "ui/file_dialog.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLocale>
#include <QSettings>
#include <QTime>
#include <QTreeView>

#include <algorithm>

namespace flash3::ui {

namespace {

// The widest of `texts` in `metrics`.
int widest(const QFontMetrics& metrics, const QStringList& texts)
{
    int width = 0;
    for (const QString& text : texts)
        width = std::max(width, metrics.horizontalAdvance(text));
    return width;
}

// Qt sizes the detail view's columns for texts such as "128.88 GB" and
// "10/29/81 02:02PM", shorter than the sizes in KiB and the dates with seconds
// that the view then shows, cut short ("21....KiB"). Each column is made as
// wide as the longest text it can hold (in the locale the view writes them
// in), and the dialog wide enough for the columns next to its side bar.
void showColumnsWhole(QFileDialog& dialog)
{
    auto* tree = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
    if (tree == nullptr)
        return;
    QHeaderView* header = tree->header();
    const QFontMetrics metrics(tree->font());
    const QLocale locale = QLocale::system();
    QStringList sizes;
    for (qint64 unit = 1; unit <= (qint64(1) << 40); unit <<= 10)
        sizes << locale.formattedDataSize(unit * 1024 - 1);  // the longest number of each unit
    QStringList dates;
    for (int month = 1; month <= 12; ++month)
        dates << locale.toString(QDateTime(QDate(2026, month, 28), QTime(20, 58, 58)), QLocale::ShortFormat);
    // Room for the delegate's margins and the sort arrow on either side of the text.
    const int margin = 2 * metrics.horizontalAdvance(QStringLiteral("MM"));
    // The type is the file's kind in words ("plain text document"): room for about that much.
    const QStringList types{QStringLiteral("plain text document")};
    const int columns[] = {1, 2, 3};
    const QStringList* texts[] = {&sizes, &types, &dates};
    for (int i = 0; i < 3; ++i) {
        const int column = columns[i];
        const int width = std::max(widest(metrics, *texts[i]) + margin, header->sectionSizeHint(column));
        header->resizeSection(column, std::max(header->sectionSize(column), width));
    }
    int columnsWidth = 0;
    for (int column = 0; column < header->count(); ++column)
        columnsWidth += header->sectionSize(column);
    // Beside the columns: the side bar, the scroll bar and the frames.
    const int wanted = columnsWidth + columnsWidth / 6 + 2 * margin;
    const QSize hint = dialog.sizeHint();
    dialog.resize(std::max(hint.width(), wanted), std::max(hint.height(), metrics.height() * 26));
}

} // namespace

void keepNoSettings()
{
#ifdef Q_OS_UNIX
    // Settings files are looked for under a path that is no folder and can
    // never become one: reading finds nothing, and a write fails before it
    // touches the disk. (Settings kept in a registry, as on Windows, are not
    // files, and Qt offers no such switch for them.)
    const QString nowhere = QStringLiteral("/dev/null");
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        for (QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope})
            QSettings::setPath(format, scope, nowhere);
    }
#endif
}

void configureOpenDialog(QFileDialog& dialog, const FileDialogSettings& settings)
{
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // A chosen file need not exist; opening it is what fails, later, with a log line.
    dialog.setFileMode(settings.fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    // Qt's dialog has no "open read-only" box, which is what hideReadOnly asks for.
    // The folder and the filter come first: changing either may reset the name field.
    dialog.setDirectory(settings.folder);
    dialog.setNameFilters({settings.filter});
    const QStringList filters = dialog.nameFilters();
    if (settings.filterIndex >= 1 && settings.filterIndex <= filters.size())
        dialog.selectNameFilter(filters.at(settings.filterIndex - 1));
    dialog.setDefaultSuffix(settings.defaultSuffix);
    dialog.selectFile(settings.initialName);
    showColumnsWhole(dialog);
}

std::optional<QString> runOpenDialog(QWidget* parent, const FileDialogSettings& settings)
{
    keepNoSettings();
    QFileDialog dialog(parent);
    configureOpenDialog(dialog, settings);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    // Qt's dialog answers with "/" everywhere; Windows users read "C:\\fw\\unit.pf3".
    return QDir::toNativeSeparators(dialog.selectedFiles().value(0));
}

std::optional<QString> runSaveTextDialog(QWidget* parent, const QString& suggestedName)
{
    keepNoSettings();
    QFileDialog dialog(parent);
    // Qt's own dialog, as for opening: a desktop's native one may keep a list of recent files.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDirectory(QDir::currentPath());
    dialog.setNameFilters({QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.selectFile(suggestedName);
    showColumnsWhole(dialog);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return QDir::toNativeSeparators(dialog.selectedFiles().value(0));
}

} // namespace flash3::ui
