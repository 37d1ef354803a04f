#pragma once

#include <QApplication>

struct DialogServices;

// The application object: runs the one dialog modally and ends when it closes.
class CKestruneApp : public QApplication {
    Q_OBJECT

public:
    CKestruneApp(int& argc, char** argv);

    // Builds the dialog, runs it, and returns false: there is no message loop after it.
    bool InitInstance(DialogServices& services);
};
