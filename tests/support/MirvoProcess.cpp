#include "MirvoProcess.h"

#include "Utilities.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QThread>

#include <csignal>

MirvoProcess::MirvoProcess(const QString& dir, const QStringList& environment,
                           const QString& platform, const QStringList& arguments)
    : log_(dir + "/mirvo.log") {
    QFile::remove(log_);
    process_.start(QStringLiteral(MIRVO_BINARY), arguments,
                   environment + QStringList{"QT_QPA_PLATFORM=" + platform}, {}, log_);
}

std::unique_ptr<MirvoProcess> MirvoProcess::startedBy(const QString& dir, QStringList commandLine) {
    std::unique_ptr<MirvoProcess> mirvo(new MirvoProcess(dir));
    QFile::remove(mirvo->log_);
    const QString program = commandLine.takeFirst();
    mirvo->process_.start(program, commandLine, {}, {}, mirvo->log_);
    return mirvo;
}

int MirvoProcess::commandStatus(const QString& dir, const QStringList& environment,
                                const QStringList& arguments, QString* output,
                                const QString& input) {
    const QString path = dir + "/command.out";
    QFile::remove(path);
    Subprocess process;
    process.start(QStringLiteral(MIRVO_BINARY), arguments, environment, input, path);
    // The event loop runs meanwhile (the command may talk to a server of this process), and the
    // end is seen within milliseconds: benches time commands this way.
    const QDeadlineTimer deadline(20000);
    while (process.isRunning() && !deadline.hasExpired()) {
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
    if (output)
        *output = QString::fromUtf8(readFile(path));
    return process.waitForExit(0);
}

QString MirvoProcess::log() const {
    return QString::fromUtf8(readFile(log_));
}

bool MirvoProcess::waitFor(const QString& text, int times, int ms) {
    const QDeadlineTimer deadline(ms);
    while (count(text) < times && !deadline.hasExpired() && process_.isRunning())
        QTest::qWait(20);
    return count(text) >= times;
}

void MirvoProcess::signal(int signo) {
    ::kill(process_.pid(), signo);
}

bool MirvoProcess::markChecklistCompleted(const QString& configHome) {
    QDir().mkpath(configHome + "/Mirvo");
    QFile defaults(configHome + "/Mirvo/defaults.conf");
    return defaults.open(QIODevice::WriteOnly) &&
           defaults.write("[General]\nai.mirvo.onboardingCompleted=true\n") > 0;
}
