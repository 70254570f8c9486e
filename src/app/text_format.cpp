#include "app/text_format.h"

#include "protocol/wire.h"

#include <QDateTime>
#include <QLocale>
#include <QTime>

#include <chrono>
#include <cmath>
#include <limits>

namespace flash3 {

QString hexText(int value)
{
    return QString::number(value, 16).toUpper();
}

QString hexByteText(int value)
{
    return QString::fromStdString(hexByte(static_cast<uint8_t>(value & 0xFF)));
}

QString visibleText(const QString& text)
{
    QString out;
    for (QChar c : text) {
        if (c == QLatin1Char('\r'))
            out += QStringLiteral("<cr>");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("<lf>");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            out += QStringLiteral("<%1>").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString percentText(float fraction)
{
    const double percent = static_cast<double>(fraction) * 100.0;
    QString text = QString::number(percent, 'f', 2);
    if (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    const QString point = QLocale().decimalPoint();
    if (point != QLatin1String("."))
        text.replace(QLatin1Char('.'), point);
    return text + QStringLiteral(" %");
}

int64_t recordCountForLength(int64_t length)
{
    if (length < 0)
        return -1;
    int64_t count = length / 4;
    const int64_t rest = length % 4;
    if (rest > 2 || (rest == 2 && count % 2 != 0))
        ++count;
    if (count > std::numeric_limits<int32_t>::max())
        return -1;
    return count;
}

namespace {
QString localeTimeFormat()
{
#ifdef Q_OS_WIN
    // Windows' own long format is 12-hour in many locales ("5:09:44 AM"): the
    // logs of every station read alike with the 24-hour time Linux prints.
    return QStringLiteral("HH:mm:ss");
#else
    // The long format carries the seconds; drop the time-zone name it may add.
    QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return format.trimmed();
#endif
}

std::function<int64_t()>& clockSource()
{
    static std::function<int64_t()> source;
    return source;
}
} // namespace

void setClockForTesting(std::function<int64_t()> nowMs)
{
    clockSource() = std::move(nowMs);
}

QString timeOfDayText()
{
    // Formatting a time costs far more than reading the clock; one E record per
    // tick is common, so format once per second of wall time.
    static const QString format = localeTimeFormat();
    static int64_t cachedSecond = -1;
    static QString cached;
    const int64_t ms = clockSource()
        ? clockSource()()
        : std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
              .count();
    const int64_t second = ms / 1000;
    if (second != cachedSecond) {
        cachedSecond = second;
        cached = QLocale::system().toString(QDateTime::fromMSecsSinceEpoch(second * 1000).time(), format);
    }
    return cached;
}

} // namespace flash3
