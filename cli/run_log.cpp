#include "run_log.h"

#include "image/image_check.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace flash3::cli {

ImageFacts imageFacts(const QString& path, const std::function<bool()>& keepGoing)
{
    ImageFacts facts;
    facts.path = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
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
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = file_.errorString();
        return false;
    }
    return true;
}

void RunLog::write(const QString& text)
{
    if (!file_.isOpen())
        return;
    QByteArray line = isoTime(QDateTime::currentDateTime()).toUtf8();
    line += ' ';
    line += text.toUtf8();
    line += '\n';
    if (file_.write(line) != line.size() && failure_.isEmpty())
        failure_ = file_.errorString().isEmpty() ? QStringLiteral("write failed") : file_.errorString();
}

} // namespace flash3::cli
