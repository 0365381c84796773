#include "app/desktop/Desktop.h"

#include <memory>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QTranslator>

namespace tintabrel {

std::string DisplayMessage(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + ".";
    return message;
}

bool InstallQtTranslations()
{
    // One translator per application object, which owns it once installed.
    // Sizes, dates and file types in Qt's dialogs follow the default locale.
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    static QPointer<QTranslator> installed;
    if (installed) return true;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    translator->setParent(QCoreApplication::instance());
    QCoreApplication::installTranslator(translator.get());
    installed = translator.release();
    return true;
}

} // namespace tintabrel
