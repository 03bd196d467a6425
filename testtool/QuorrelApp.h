// The application: runs the main window and ends with it.
#pragma once

#include <QApplication>

class CQuorrelApp : public QApplication {
    Q_OBJECT

public:
    CQuorrelApp(int& argc, char** argv);

    // Shows the main window until it closes; returns the program's exit status.
    int InitInstance();
};
