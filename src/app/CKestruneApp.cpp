#include "CKestruneApp.h"

#include "CKestruneDlg.h"
#include "DialogServices.h"
#include "QtTranslations.h"

#include <QFont>
#include <QIcon>
#include <QLocale>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int stopSignalReadEnd = -1;
int stopSignalWriteEnd = -1;

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(stopSignalWriteEnd, &byte, 1);
}

} // namespace

CKestruneApp::CKestruneApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Kestrune"));
    setDesktopFileName(QStringLiteral("kestrune"));
}

bool CKestruneApp::InitInstance(DialogServices& services) {
    InstallQtTranslations(*this, QLocale::system());

    // The dialog's font is a Windows one; IPAPGothic is drawn to the same metrics.
    QFont::insertSubstitution(QStringLiteral("MS UI Gothic"), QStringLiteral("IPAPGothic"));

    QIcon icon;
    for (int size : {16, 24, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/kestrune-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);

    if (stopSignalReadEnd >= 0) {
        auto* notifier = new QSocketNotifier(stopSignalReadEnd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [] {
            char drained[16];
            while (::read(stopSignalReadEnd, drained, sizeof drained) > 0) {
            }
            closeAllWindows();
        });
    }
    CKestruneDlg dialog(services);
    dialog.DoModal();
    return false;
}

void CKestruneApp::CatchStopSignals() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0)
        return;
    stopSignalReadEnd = ends[0];
    stopSignalWriteEnd = ends[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr); // the terminal closing
}
