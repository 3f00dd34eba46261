// The interface language as Qt sees the session's locale, for LoadLocalizedText.
#pragma once

#include <QLocale>
#include <cstdint>

namespace zevrin::qt {

// 2052 for Chinese as used in the PRC (zh_CN), 1033 for every other locale: zh_TW, zh_HK and
// zh_SG get the English texts, as on Windows.
uint16_t InterfaceLanguageOf(const QLocale& locale);

// Makes LoadLocalizedText follow QLocale::system(), asked anew at every call. Call once, after
// the QApplication exists.
void InstallQtTextSource();

}  // namespace zevrin::qt
