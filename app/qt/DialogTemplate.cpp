#include "app/qt/DialogTemplate.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QString>
#include <cstdint>
#include <cstdlib>

namespace zevrin::qt {

namespace {

// MulDiv: number * numerator / denominator, rounded to the nearest, halves away from zero.
int MulDiv(int number, int numerator, int denominator) {
    const int64_t product = static_cast<int64_t>(number) * numerator;
    const int64_t half = denominator / 2;
    const int64_t rounded =
        product >= 0 ? (product + half) / denominator : -((-product + half) / denominator);
    return static_cast<int>(rounded);
}

}  // namespace

BaseUnits DialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(width / 26 + 1) / 2, metrics.height()};
}

QRect MapDialogRect(const DialogRect& rect, BaseUnits units) {
    const int left = MulDiv(rect.x, units.x, 4);
    const int right = MulDiv(rect.x + rect.width, units.x, 4);
    const int top = MulDiv(rect.y, units.y, 8);
    const int bottom = MulDiv(rect.y + rect.height, units.y, 8);
    return {left, top, right - left, bottom - top};
}

QFont DialogFont(bool chinese) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (chinese) {
        // Windows draws this dialog in SimSun; these are the fonts Linux distributions ship for
        // Simplified Chinese, most common first.
        for (const char* family : {"Noto Sans CJK SC", "Source Han Sans SC", "WenQuanYi Micro Hei",
                                   "WenQuanYi Zen Hei", "AR PL UMing CN", "SimSun"}) {
            if (QFontDatabase::hasFamily(QString::fromLatin1(family))) {
                font.setFamily(QString::fromLatin1(family));
                break;
            }
        }
    }
    font.setPointSize(9);
    return font;
}

}  // namespace zevrin::qt
