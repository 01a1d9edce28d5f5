// Restarts itself once through the checklist's restart, so a test can see the relaunch.
// Usage: RestartApp RECORDFILE [ARGUMENTS...]; every start appends "<pid> <arguments>".
#include "mirvo/OnboardingWindow.h"

#include <QApplication>
#include <QFile>
#include <QTimer>

#include <unistd.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QFile record(QString::fromLocal8Bit(argv[1]));
    if (!record.open(QIODevice::ReadWrite | QIODevice::Append))
        return 2;
    const bool first = record.size() == 0;
    record.write(QByteArray::number(getpid()) + ' ' +
                 QApplication::arguments().mid(2).join(' ').toUtf8() + '\n');
    record.close();
    if (!first)
        return 0;
    OnboardingWindowController::restartApp();
    return app.exec();
}
