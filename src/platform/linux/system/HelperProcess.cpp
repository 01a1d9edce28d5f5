#include "HelperProcess.h"

#include "common/Log.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>

bool HelperProcess::exists(const QString& program) {
    return !QStandardPaths::findExecutable(program).isEmpty();
}

HelperResult HelperProcess::run(const QString& program, const QStringList& arguments,
                                const QByteArray& input, int timeoutMs, bool captureOutput,
                                qint64 maxOutputBytes) {
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
    const QDeadlineTimer deadline(timeoutMs);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        result.problem = program + QStringLiteral(" did not start: ") + process.errorString();
        return result;
    }
    if (!input.isNull())
        process.write(input);
    process.closeWriteChannel();
    // Read as it comes, so that the output's size is known before it is all in memory.
    const auto stop = [&](const QString& why) {
        process.kill();
        process.waitForFinished(1000);
        result.problem = why;
        mirvoLog(QStringLiteral("[Mirvo] ") + why, LogLevel::warning);
        return result;
    };
    while (process.state() != QProcess::NotRunning) {
        if (deadline.hasExpired())
            return stop(
                QStringLiteral("%1 did not finish within %2 ms").arg(program).arg(timeoutMs));
        process.waitForFinished(int(qMin<qint64>(deadline.remainingTime(), 20)));
        if (captureOutput)
            result.output += process.readAllStandardOutput();
        if (maxOutputBytes >= 0 && result.output.size() > maxOutputBytes)
            return stop(
                QStringLiteral("%1 wrote more than %2 MiB").arg(program).arg(maxOutputBytes >> 20));
    }
    if (captureOutput)
        result.output += process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit) {
        result.problem = QStringLiteral("%1 %2 crashed").arg(program, arguments.value(0));
        return result;
    }
    result.exitCode = process.exitCode();
    if (result.exitCode != 0) {
        result.problem = QStringLiteral("%1 %2 ended with status %3")
                             .arg(program, arguments.value(0))
                             .arg(result.exitCode);
        return result;
    }
    result.ran = true;
    return result;
}
