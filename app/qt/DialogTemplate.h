// The window's layout in dialog units, and the conversion to pixels the way Windows does it from
// the dialog font, so the Qt window keeps the proportions of the Win32 one.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace zevrin::qt {

// Dialog units of one control or of the dialog: x, y, width, height.
struct DialogRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The template: client area 233 x 138, then the four controls.
inline constexpr DialogRect kDialogRect{0, 0, 233, 138};
inline constexpr DialogRect kProgressRect{7, 7, 219, 14};
inline constexpr DialogRect kUpdateButtonRect{7, 109, 219, 22};
inline constexpr DialogRect kSuccessTextRect{59, 91, 85, 12};
inline constexpr DialogRect kInstructionsRect{7, 25, 219, 55};

// Pixels per 4 horizontal / 8 vertical dialog units.
struct BaseUnits {
    int x = 0;
    int y = 0;
};

// As GdiGetCharDimensions: the advance of the 52 Latin letters, /26 and rounded up, /2; the
// height is the font's height.
BaseUnits DialogBaseUnits(const QFont& font);

// As MapDialogRect: each edge is converted on its own (MulDiv, rounding halves away from zero),
// so adjacent controls stay adjacent.
QRect MapDialogRect(const DialogRect& rect, BaseUnits units);

// The template's font: the system's UI font at 9 pt; for the Chinese texts the first installed
// font that covers Simplified Chinese, so the measure above is taken from the font really drawn.
QFont DialogFont(bool chinese);

}  // namespace zevrin::qt
