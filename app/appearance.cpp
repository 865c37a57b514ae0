#include "app/appearance.h"

#include <QApplication>
#include <QFont>
#include <QPalette>
#include <QRegularExpression>

#include <cmath>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
// Qt's default text size on Windows and on a bare X11 desktop.
constexpr double defaultPointSize = 9.0;
} // namespace

bool highContrastOn()
{
#ifdef Q_OS_WIN
    HIGHCONTRASTW contrast = {};
    contrast.cbSize = sizeof(contrast);
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, contrast.cbSize, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON);
#else
    return false;
#endif
}

bool themeColoursWanted()
{
    // The application's palette is the theme's; the window's own is the style
    // sheet's once applied.
    return QApplication::palette().color(QPalette::Window).lightness() < 128 || highContrastOn();
}

double desktopFontScale()
{
    const QFont font = QApplication::font();
    double points = font.pointSizeF();
    if (points <= 0 && font.pixelSize() > 0)
        points = font.pixelSize() * 72.0 / 96.0;
    return points > defaultPointSize ? points / defaultPointSize : 1.0;
}

namespace {

double luminance(const QColor& c)
{
    auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

// colour, made lighter against a dark other or darker against a light one
// (mixed with white or black, so its hue stays) until the two reach ratio.
QColor apart(QColor colour, const QColor& other, double ratio)
{
    const QColor target = luminance(other) < 0.18 ? QColor(Qt::white) : QColor(Qt::black);
    for (int step = 0; step < 40 && contrastRatio(colour, other) < ratio; ++step) {
        colour = QColor::fromRgbF(colour.redF() + (target.redF() - colour.redF()) * 0.05,
                                  colour.greenF() + (target.greenF() - colour.greenF()) * 0.05,
                                  colour.blueF() + (target.blueF() - colour.blueF()) * 0.05);
    }
    return colour;
}

constexpr double readableText = 4.5;

} // namespace

double contrastRatio(const QColor& a, const QColor& b)
{
    const double x = luminance(a) + 0.05;
    const double y = luminance(b) + 0.05;
    return x > y ? x / y : y / x;
}

QPalette readablePalette(QPalette palette, const QColor& background)
{
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Link, apart(palette.color(group, QPalette::Link), background, readableText));
        palette.setColor(group, QPalette::LinkVisited,
                         apart(palette.color(group, QPalette::LinkVisited), background, readableText));
        palette.setColor(group, QPalette::Highlight,
                         apart(palette.color(group, QPalette::Highlight),
                               palette.color(group, QPalette::HighlightedText), readableText));
    }
    return palette;
}

int scaledPixels(int pixels, double scale)
{
    return static_cast<int>(std::lround(pixels * scale));
}

QString styleSheetForDesktop(const QString& sheet, bool themeColours, double scale)
{
    QString result = sheet;
    if (themeColours) {
        // The sheet paints white under everything: on a dark or high-contrast
        // theme the theme draws the widgets, in its own colours.
        static const QRegularExpression fontSize(QStringLiteral(R"(font-size:\s*\d+px)"));
        const QRegularExpressionMatch match = fontSize.match(sheet);
        result = match.hasMatch() ? QStringLiteral("QWidget {\n    %1;\n}\n").arg(match.captured()) : QString();
    }
    if (scale == 1.0)
        return result;
    static const QRegularExpression pixels(QStringLiteral(R"((\d+)px)"));
    QString scaled;
    qsizetype last = 0;
    for (const QRegularExpressionMatch& match : pixels.globalMatch(result)) {
        scaled += QStringView(result).mid(last, match.capturedStart() - last);
        scaled += QString::number(scaledPixels(match.captured(1).toInt(), scale)) + QStringLiteral("px");
        last = match.capturedEnd();
    }
    scaled += QStringView(result).mid(last);
    return scaled;
}
