#pragma once

#include <QApplication>

// The program: one window, run until it is closed. SIGINT and SIGTERM close it the way its close box does,
// so a script that started the program can end it cleanly.
class CQan640BootLoaderApp : public QApplication {
public:
    CQan640BootLoaderApp(int& argc, char** argv);
    // Runs the main window; returns the program's exit status once it has been closed.
    int InitInstance();
};
