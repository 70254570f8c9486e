#include "run_log.h"

#include "app/text_format.h"
#include "image/image_check.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include <cstdio>

namespace flash3::cli {

ImageFacts imageFacts(const QString& path, const std::function<bool()>& keepGoing)
{
    ImageFacts facts;
    facts.path = QFileInfo(path).absoluteFilePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return facts;
    // One read for everything, so that the digests and the counts are of the
    // same bytes even if the file is replaced meanwhile.
    QCryptographicHash sha(QCryptographicHash::Sha256);
    QCryptographicHash blake(QCryptographicHash::Blake2b_256);
    RecordChecker records;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (keepGoing && !keepGoing()) {
            facts.interrupted = true;
            return facts;
        }
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0)
            return facts;
        if (n == 0)
            break;
        sha.addData(QByteArrayView(chunk.constData(), n));
        blake.addData(QByteArrayView(chunk.constData(), n));
        records.feed(chunk.constData(), static_cast<std::size_t>(n));
        facts.size += n;
    }
    records.finish();
    facts.readable = true;
    facts.sha256 = QString::fromLatin1(sha.result().toHex());
    facts.blake2b = blake.result();
    const ImageCheckReport& check = records.report();
    facts.records = check.records;
    facts.tRecords = check.tRecords;
    facts.rRecords = check.rRecords;
    facts.eRecords = check.eRecords;
    return facts;
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
