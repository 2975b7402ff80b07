#include "ui/DialogUnits.h"

#include <QFontMetrics>
#include <map>

namespace {
// The average character width is taken over the Latin letters, as the
// dialog manager of the original platform does.
constexpr const char* kAverageSample = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kAverageSampleChars = 52;
}  // namespace

QFont DialogUnits::font(int points) {
    static const bool substituted = [] {
        QFont::insertSubstitution(QString::fromUtf8(kTemplateFont),
                                  QString::fromUtf8(kFallbackFont));
        return true;
    }();
    (void)substituted;
    QFont f(QString::fromUtf8(kTemplateFont), points);
    f.setStyleHint(QFont::SansSerif);
    return f;
}

const DialogUnits& DialogUnits::forFont(int points) {
    static std::map<int, DialogUnits> cache;
    auto it = cache.find(points);
    if (it == cache.end()) {
        const QFontMetrics metrics(font(points));
        const int total = metrics.horizontalAdvance(QString::fromLatin1(kAverageSample));
        const int average = (total / (kAverageSampleChars / 2) + 1) / 2;
        it = cache.emplace(points, DialogUnits(std::max(average, 1), std::max(metrics.height(), 1)))
                 .first;
    }
    return it->second;
}

QRect DialogUnits::toPixels(int x, int y, int width, int height) const {
    return QRect(toPixelsX(x), toPixelsY(y), toPixelsX(width), toPixelsY(height));
}
