#include "progress_bar.h"

#include <string>

namespace flash3::cli {

namespace {
std::string clockText(qint64 seconds)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld", seconds / 60, seconds % 60);
    return buf;
}
} // namespace

void ProgressBar::update(long long done, long long total, bool force)
{
    const qint64 now = clock_.elapsed();
    if (!force && now - lastDrawMs_ < 100)
        return;
    lastDrawMs_ = now;
    constexpr int width = 30;
    const double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 0.0;
    const int filled = static_cast<int>(fraction * width);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    const qint64 elapsed = now / 1000;
    std::string left = "--:--";
    if (fraction > 0.0)
        left = clockText(static_cast<qint64>(static_cast<double>(now) * (1.0 - fraction) / fraction / 1000.0));
    std::fprintf(out_, "\r[%s] %lld/%lld %5.1f %%  %s elapsed  %s left\033[K", bar.c_str(), done, total,
                 fraction * 100.0, clockText(elapsed).c_str(), left.c_str());
    std::fflush(out_);
    shown_ = true;
}

void ProgressBar::erase()
{
    if (!shown_)
        return;
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    shown_ = false;
}

} // namespace flash3::cli
