#pragma once

class QCoreApplication;
class QLocale;

// Installs Qt's own translations (file dialogs, the overwrite question, standard buttons) for
// `locale`'s language, from the folder Qt was installed with (Debian: qt6-translations-l10n), so
// a Japanese desktop gets Japanese file dialogs beside the dialog's own Japanese texts. False when
// there are none for that language (the texts stay English).
bool InstallQtTranslations(QCoreApplication& application, const QLocale& locale);
