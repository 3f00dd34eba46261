#include "app/qt/QtTexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <clocale>

#include "hid/Log.h"
#include "update/Texts.h"

namespace zevrin::qt {

uint16_t InterfaceLanguageOf(const QLocale& locale) {
    return locale.language() == QLocale::Chinese && locale.territory() == QLocale::China
               ? kLangChinesePrc
               : 1033;
}

void FollowSessionLocale() {
    // QCoreApplication's constructor enters the session's locale in the C library, and the texts
    // that show versions are printf-formatted: under de_DE "GamePad V1.10" would read "V1,10".
    std::setlocale(LC_NUMERIC, "C");

    SetTextSource({[] { return InterfaceLanguageOf(QLocale::system()); }, CompiledText});

    // Qt translates nothing by itself: without this a Chinese box would say "OK" and "Cancel".
    // Every other language gets Qt's built-in English, as it gets the program's.
    if (InterfaceLanguageOf(QLocale::system()) != kLangChinesePrc) {
        return;
    }
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), folder)) {
        LogLine("No qtbase_zh_CN.qm in %s: Qt's buttons stay in English\n",
                folder.toUtf8().constData());
        delete translator;
        return;
    }
    QCoreApplication::installTranslator(translator);
}

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString DisplayText(const std::string& text) {
    return FromUtf8(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace zevrin::qt
