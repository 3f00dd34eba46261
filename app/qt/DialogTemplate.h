// The window's layout in dialog units, and the conversion to pixels the way Windows does it from
// the dialog font, so the Qt window keeps the proportions of the Win32 one.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

#include "res/DialogLayout.h"

namespace zevrin::qt {

// Dialog units of one control or of the dialog: x, y, width, height.
using res::DialogRect;

// The Windows program's template, read from its .rc at build time.
inline constexpr DialogRect kDialogRect = res::kDialog;
inline constexpr DialogRect kProgressRect = res::kProgress.rect;
inline constexpr DialogRect kUpdateButtonRect = res::kUsbUpdate.rect;
inline constexpr DialogRect kSuccessTextRect = res::kSuccessText.rect;
inline constexpr DialogRect kInstructionsRect = res::kInstructions.rect;

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
