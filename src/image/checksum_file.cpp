#include "image/checksum_file.h"

#include "image/image_file.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace flash3 {

namespace {

// Larger than any checksum file of a few images; reading stops there.
constexpr qint64 MaxChecksumFileBytes = 1 << 20;

// sha256sum writes a name holding a backslash or a line end escaped, and
// marks such a line with a leading backslash.
QString unescaped(const QString& name)
{
    QString out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name[i] == QLatin1Char('\\') && i + 1 < name.size()) {
            const QChar next = name[++i];
            out += next == QLatin1Char('n') ? QChar(QLatin1Char('\n'))
                : next == QLatin1Char('r')  ? QChar(QLatin1Char('\r'))
                                            : next;
        } else {
            out += name[i];
        }
    }
    return out;
}

bool namesImage(const QString& name, const QString& imageName)
{
    return name == imageName || name.endsWith(QLatin1Char('/') + imageName);
}

} // namespace

QString KnownDigest::label() const
{
    return fromFile ? QFileInfo(source).fileName() : source;
}

QString checksumFilePath(const QString& imagePath)
{
    return imagePath + QStringLiteral(".sha256");
}

bool isSha256Hex(const QString& text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    return hex.match(text).hasMatch();
}

bool digestFromChecksumFile(const QByteArray& text, const QString& imageName, QByteArray* sha256, QString* problem)
{
    static const QRegularExpression gnu(QStringLiteral("^(\\\\?)([0-9A-Fa-f]{64}) [ *](.+)$"));
    static const QRegularExpression tagged(QStringLiteral("^(\\\\?)SHA256 \\((.+)\\) = ([0-9A-Fa-f]{64})$"));
    QByteArray found;
    int lineNumber = 0;
    for (QByteArray raw : text.split('\n')) {
        ++lineNumber;
        if (raw.endsWith('\r'))
            raw.chop(1);
        if (raw.trimmed().isEmpty() || raw.startsWith('#'))
            continue;  // sha256sum -c skips comments too
        const QString line = QString::fromUtf8(raw);
        QString name;
        QString hex;
        bool escaped = false;
        if (const auto m = gnu.match(line); m.hasMatch()) {
            escaped = !m.captured(1).isEmpty();
            hex = m.captured(2);
            name = m.captured(3);
        } else if (const auto t = tagged.match(line); t.hasMatch()) {
            escaped = !t.captured(1).isEmpty();
            name = t.captured(2);
            hex = t.captured(3);
        } else {
            *problem = QStringLiteral("is not as sha256sum writes it (line %1)").arg(lineNumber);
            return false;
        }
        if (escaped)
            name = unescaped(name);
        if (!namesImage(name, imageName))
            continue;
        const QByteArray digest = hex.toLatin1().toLower();
        if (!found.isEmpty() && found != digest) {
            *problem = QStringLiteral("gives two different digests for ") + imageName;
            return false;
        }
        found = digest;
    }
    if (found.isEmpty()) {
        *problem = QStringLiteral("has no line for ") + imageName;
        return false;
    }
    *sha256 = found;
    return true;
}

QList<KnownDigest> knownDigests(const QString& imagePath, const QString& required)
{
    QList<KnownDigest> known;
    if (!required.isEmpty())
        known.append({QStringLiteral("--sha256"), false, required.toLatin1().toLower(), {}});
    const QString path = checksumFilePath(imagePath);
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return known;  // none published beside it
    KnownDigest file{info.absoluteFilePath(), true, {}, {}};
    // A checksum file that is there but cannot be read is a refusal, never
    // a file without a checksum: a FIFO or a device must not hang the check.
    if (const std::unique_ptr<QFile> in = openRegularFile(path, &file.problem)) {
        const QByteArray text = in->read(MaxChecksumFileBytes + 1);
        if (in->error() != QFileDevice::NoError)
            file.problem = QStringLiteral("cannot be read: ") + in->errorString();
        else if (text.size() > MaxChecksumFileBytes)
            file.problem = QStringLiteral("is larger than a checksum file can be (1 MiB)");
        else
            digestFromChecksumFile(text, QFileInfo(imagePath).fileName(), &file.sha256, &file.problem);
    }
    known.append(file);
    return known;
}

} // namespace flash3
