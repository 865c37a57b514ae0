#pragma once

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

// A pixel size of the form at the desktop's text size.
int scaledPixels(int pixels, double scale);
