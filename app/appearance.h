#pragma once

#include <QColor>
#include <QPalette>
#include <QString>

class QWidget;

// How the window follows the user's desktop: colours and text size.

// True when the desktop asks for its own colours: a dark palette, or the
// system's high-contrast mode. The window is then drawn by the theme, at the
// style sheet's text size.
bool themeColoursWanted();

// The system's high-contrast mode (Windows); false elsewhere, where a
// high-contrast theme shows as its palette.
bool highContrastOn();

// How much larger than the platform's default (9 points) the desktop's text
// is; never below 1, so a smaller desktop font keeps the designed look.
double desktopFontScale();

// The style sheet for the desktop: every pixel size multiplied by scale;
// with the theme's colours wanted, only the sheet's text size.
QString styleSheetForDesktop(const QString& sheet, bool themeColours, double scale);

// The contrast of two colours as WCAG measures it (1 to 21).
double contrastRatio(const QColor& a, const QColor& b);

// The palette with its link and selection colours moved, where needed, until
// links read at 4.5:1 on background and selected text on its selection;
// every other colour as it was.
QPalette readablePalette(QPalette palette, const QColor& background);

// A pixel size of the form at the desktop's text size.
int scaledPixels(int pixels, double scale);
