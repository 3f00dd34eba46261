// The interface language as Qt sees the session's locale, for LoadLocalizedText and for Qt's own
// texts.
#pragma once

#include <QLocale>
#include <QString>
#include <cstdint>
#include <string>

namespace zevrin::qt {

// 2052 for Chinese as used in the PRC (zh_CN), 1033 for every other locale: zh_TW, zh_HK and
// zh_SG get the English texts, as on Windows.
uint16_t InterfaceLanguageOf(const QLocale& locale);

// Makes the window speak the session's language, once, after the QApplication exists and before
// any other thread runs: LoadLocalizedText follows QLocale::system(), asked anew at every call;
// Qt's own labels (box buttons, the file dialog) come from the distribution's Qt translations in
// the same language; numbers in the texts keep their decimal point.
void FollowSessionLocale();

QString FromUtf8(const std::string& text);
// Static controls and boxes show the texts' CR LF pairs as line breaks, as on Windows; Qt would
// draw the CR as a stray glyph.
QString DisplayText(const std::string& text);

}  // namespace zevrin::qt
