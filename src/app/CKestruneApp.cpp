#include "CKestruneApp.h"

#include "CKestruneDlg.h"
#include "DialogServices.h"

#include <QFont>
#include <QIcon>

CKestruneApp::CKestruneApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Kestrune"));
    setDesktopFileName(QStringLiteral("kestrune"));
}

bool CKestruneApp::InitInstance(DialogServices& services) {
    // The dialog's font is a Windows one; IPAPGothic is drawn to the same metrics.
    QFont::insertSubstitution(QStringLiteral("MS UI Gothic"), QStringLiteral("IPAPGothic"));

    QIcon icon;
    for (int size : {16, 24, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/kestrune-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);

    CKestruneDlg dialog(services);
    dialog.DoModal();
    return false;
}
