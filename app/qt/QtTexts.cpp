#include "app/qt/QtTexts.h"

#include "update/Texts.h"

namespace zevrin::qt {

uint16_t InterfaceLanguageOf(const QLocale& locale) {
    return locale.language() == QLocale::Chinese && locale.territory() == QLocale::China
               ? kLangChinesePrc
               : 1033;
}

void InstallQtTextSource() {
    SetTextSource({[] { return InterfaceLanguageOf(QLocale::system()); }, CompiledText});
}

}  // namespace zevrin::qt
