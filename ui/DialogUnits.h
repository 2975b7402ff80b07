#pragma once

#include <QFont>
#include <QRect>

// Dialog units of one template font, converted to pixels once: a horizontal
// unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height. The templates name "ＭＳ Ｐゴシック"; where that font is
// not installed the Japanese sans font of the system stands in for it.
//
// GUI thread only; needs the application object.
class DialogUnits {
public:
    static constexpr const char* kTemplateFont = "ＭＳ Ｐゴシック";
    static constexpr const char* kFallbackFont = "Noto Sans CJK JP";

    // The units of the template font at this size, computed on first use.
    static const DialogUnits& forFont(int points);
    // The template font at this size (with the fallback substitution set).
    static QFont font(int points);

    int toPixelsX(int units) const { return (units * baseX + 2) / 4; }
    int toPixelsY(int units) const { return (units * baseY + 4) / 8; }
    QRect toPixels(int x, int y, int width, int height) const;

    int getBaseX() const { return baseX; }
    int getBaseY() const { return baseY; }

private:
    DialogUnits(int baseX, int baseY) : baseX(baseX), baseY(baseY) {}

    int baseX;  // average character width in pixels
    int baseY;  // character height in pixels
};
