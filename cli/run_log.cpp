#include "run_log.h"

#include "image/image_check.h"

#include <QCryptographicHash>
#include <QFileInfo>

namespace flash3::cli {

ImageFacts imageFacts(const QString& path)
{
    ImageFacts facts;
    facts.path = QFileInfo(path).absoluteFilePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return facts;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return facts;
    facts.readable = true;
    facts.size = file.size();
    facts.sha256 = QString::fromLatin1(hash.result().toHex());
    const ImageCheckReport check = checkImage(path, {});
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
    file_.write(line);
}

} // namespace flash3::cli
