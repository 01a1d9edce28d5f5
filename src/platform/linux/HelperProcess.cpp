#include "HelperProcess.h"

#include "platform/Log.h"

#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>

bool HelperProcess::exists(const QString& program) {
    return !QStandardPaths::findExecutable(program).isEmpty();
}

HelperResult HelperProcess::run(const QString& program, const QStringList& arguments,
                                const QByteArray& input, int timeoutMs, bool captureOutput) {
    HelperResult result;
    if (!exists(program)) {
        static QMutex mutex;
        static QSet<QString> reported;
        QMutexLocker lock(&mutex);
        if (!reported.contains(program)) {
            reported.insert(program);
            mirvoLog(QStringLiteral("[Mirvo] %1 is not installed; Mirvo needs it on this desktop")
                         .arg(program),
                     LogLevel::warning);
        }
        result.problem = program + QStringLiteral(" is not installed");
        return result;
    }
    QProcess process;
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!captureOutput)
        process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        result.problem = program + QStringLiteral(" did not start: ") + process.errorString();
        return result;
    }
    if (!input.isNull())
        process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        result.problem =
            QStringLiteral("%1 did not finish within %2 ms").arg(program).arg(timeoutMs);
        mirvoLog(QStringLiteral("[Mirvo] ") + result.problem, LogLevel::warning);
        return result;
    }
    if (captureOutput)
        result.output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        result.problem = QStringLiteral("%1 %2 ended with status %3")
                             .arg(program, arguments.value(0))
                             .arg(process.exitCode());
        return result;
    }
    result.ran = true;
    return result;
}
