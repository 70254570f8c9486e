#include "run_log.h"

#include "app/text_format.h"
#include "image/image_check.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace flash3::cli {

ImageFacts imageFacts(const QString& path, const std::function<bool()>& keepGoing, const QString& requiredSha256,
                      bool withSha256)
{
    ImageFacts facts;
    facts.path = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    // One read for everything, so that the digests and the counts are of the
    // same bytes even if the file is replaced meanwhile; opened as a run's
    // check opens it (a FIFO or a device is not read).
    const QString opened = ImageFileHandle::resolvePath(path);
    facts.knownDigests = knownDigests(opened, requiredSha256);
    ImageCheck check;
    if (!check.open(opened, true, withSha256 || !facts.knownDigests.isEmpty()))
        return facts;
    while (!check.done()) {
        if (keepGoing && !keepGoing()) {
            facts.interrupted = true;
            return facts;
        }
        check.step(1 << 20);
    }
    const CheckedImage checked = check.result();
    if (checked.report.tooLarge)
        return facts;  // not read: no run takes it
    facts.readable = true;
    facts.size = check.bytesChecked();
    facts.sha256 = QString::fromLatin1(checked.sha256.toHex());
    facts.blake2b = checked.blake2b;
    facts.records = checked.report.records;
    facts.tRecords = checked.report.tRecords;
    facts.rRecords = checked.report.rRecords;
    facts.eRecords = checked.report.eRecords;
    facts.check = std::make_shared<const CheckedImage>(checked);
    return facts;
}

QStringList knownDigestLines(const ImageFacts& f)
{
    if (f.knownDigests.isEmpty())
        return {QStringLiteral("image not checked against a known SHA-256 (no --sha256, no ") + f.path
                + QStringLiteral(".sha256)")};
    QStringList lines;
    for (const KnownDigest& d : f.knownDigests) {
        if (!d.problem.isEmpty())
            lines << QStringLiteral("image not checked against a known SHA-256: checksum file ") + d.source
                    + QLatin1Char(' ') + d.problem;
        else if (!f.readable)
            lines << QStringLiteral("image not checked against the SHA-256 ") + QString::fromLatin1(d.sha256)
                    + QStringLiteral(" of ") + d.source + QStringLiteral(": the image was not read");
        else if (QString::fromLatin1(d.sha256) == f.sha256)
            lines << QStringLiteral("image SHA-256 matches ") + d.source;
        else
            lines << QStringLiteral("image SHA-256 does not match ") + d.source + QStringLiteral(", which gives ")
                    + QString::fromLatin1(d.sha256);
    }
    return lines;
}

QString isoTime(const QDateTime& time)
{
    // A local time is written with its offset, so that logs from stations in
    // different zones (or either side of a clock change) order correctly.
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

bool RunLog::open(const QString& path, QString* error)
{
    path_ = path;
    return file_.open(path, error);
}

void RunLog::write(const QString& text)
{
    if (!file_.isOpen())
        return;
    QByteArray line = isoTime(QDateTime::currentDateTime()).toUtf8();
    line += ' ';
    line += visibleText(text).toUtf8();  // one entry, one line, whatever a path holds
    line += '\n';
    QString error;
    if (!file_.write(line, &error) && failure_.isEmpty()) {
        failure_ = error;
        std::fprintf(stderr, "flash3-cli: cannot write to the log '%s': %s\n", path_.toLocal8Bit().constData(),
                     error.toLocal8Bit().constData());
        std::fflush(stderr);
    }
}

void RunLog::close()
{
    QString error;
    if (!file_.close(&error) && failure_.isEmpty())
        failure_ = error;
}

} // namespace flash3::cli
