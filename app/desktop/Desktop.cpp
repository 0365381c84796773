#include "app/desktop/Desktop.h"

#include <memory>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
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

int AskToSaveChanges(QWidget* parent, const QString& caption, const QString& text)
{
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::NoButton, parent);
    QPushButton* save = box.addButton(QStringLiteral("保存する(&S)"), QMessageBox::AcceptRole);
    QPushButton* discard = box.addButton(QStringLiteral("保存しない(&N)"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QStringLiteral("キャンセル"), QMessageBox::RejectRole);
    box.setDefaultButton(save);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == save) return 0;
    if (box.clickedButton() == discard) return 1;
    return 2;
}

} // namespace tintabrel
