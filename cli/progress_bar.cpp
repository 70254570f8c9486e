#include "progress_bar.h"

#include <cstdio>

namespace flash3::cli {

namespace {
QByteArray clockText(qint64 seconds)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld", seconds / 60, seconds % 60);
    return buf;
}

double fractionOf(long long done, long long total)
{
    return total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 0.0;
}
} // namespace

QByteArray ProgressBar::text(long long done, long long total) const
{
    const qint64 now = clock_.elapsed();
    const double fraction = fractionOf(done, total);
    QByteArray left = "--:--";
    if (fraction > 0.0)
        left = clockText(static_cast<qint64>(static_cast<double>(now) * (1.0 - fraction) / fraction / 1000.0));
    return draw(done, total, clockText(now / 1000) + " elapsed  " + left + " left");
}

QByteArray ProgressBar::finalText(long long done, long long total, double seconds) const
{
    char taken[32];
    std::snprintf(taken, sizeof taken, "in %.1f s", seconds);
    return draw(done, total, taken);
}

QByteArray ProgressBar::draw(long long done, long long total, const QByteArray& tail) const
{
    constexpr int width = 30;
    const double fraction = fractionOf(done, total);
    const int filled = static_cast<int>(fraction * width);
    QByteArray bar(filled, '#');
    bar.append(width - filled, '.');
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "] %lld/%lld %5.1f %%  ", done, total, fraction * 100.0);
    return "\r[" + bar + numbers + tail + "\033[K";
}

} // namespace flash3::cli
