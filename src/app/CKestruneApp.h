#pragma once

#include <QApplication>

struct DialogServices;

// The application object: runs the one dialog modally and ends when it closes.
class CKestruneApp : public QApplication {
    Q_OBJECT

public:
    CKestruneApp(int& argc, char** argv);

    // SIGINT, SIGTERM and SIGHUP close the dialog like its close box, so the program still ends in order:
    // the hook threads joined, the socket removed. Called first thing; a signal that comes before
    // the dialog runs closes it as soon as it does.
    static void CatchStopSignals();

    // Builds the dialog, runs it, and returns false: there is no message loop after it.
    bool InitInstance(DialogServices& services);
};
