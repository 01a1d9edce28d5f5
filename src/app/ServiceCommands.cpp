#include "ServiceCommands.h"

#include "DictationAssembly.h"
#include "common/Log.h"
#include "common/MirvoError.h"
#include "core/Polisher.h"
#include "core/ServiceClient.h"
#include "core/ServiceConfig.h"
#include "core/ServiceKeys.h"
#include "platform/PlatformServices.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

void say(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// One line from standard input; typed keys are not shown on a terminal.
QString readKeyLine(const QString& name) {
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fprintf(stderr, "Paste the %s key and press Enter: ", qPrintable(name));
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    QFile input;
    QString line;
    if (input.open(stdin, QIODevice::ReadOnly))
        line = QString::fromUtf8(input.readLine(4096)).trimmed();
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fprintf(stderr, "\n");
    }
    return line;
}

// What the user can do about `error`, for a service named `name` in the settings.
QString remedy(const std::exception_ptr& error, const QString& name) {
    try {
        std::rethrow_exception(error);
    } catch (const MirvoError& e) {
        if (e.is(MirvoError::Kind::unreachable) || e.is(MirvoError::Kind::timedOut))
            return QStringLiteral("The server is down or cannot be reached: is it running, and "
                                  "are the address and port in \"%1.url\" right?")
                .arg(name);
        if (e.is(MirvoError::Kind::insecure))
            return QStringLiteral("The secure connection failed: the server's certificate is "
                                  "not trusted here, or it speaks plain http.");
        return {};
    } catch (const MessageError& e) {
        const QRegularExpressionMatch status =
            QRegularExpression(QStringLiteral("HTTP (\\d{3})")).match(e.message());
        const int code = status.hasMatch() ? status.captured(1).toInt() : 0;
        const bool aboutModel = e.message().contains(QStringLiteral("model"), Qt::CaseInsensitive);
        if (code == 401 || code == 403)
            return QStringLiteral("The service refused the key: store the right one with "
                                  "mirvo --set-key %1.")
                .arg(name);
        if ((code == 404 || code == 400) && aboutModel)
            return QStringLiteral("The server does not have this model: check \"%1.model\" "
                                  "(speaches and Ollama must download it first).")
                .arg(name);
        if (code == 404)
            return QStringLiteral("Nothing answers at this address: an OpenAI-compatible "
                                  "service takes its base URL (ending in /v1); for whisper-server "
                                  "the path is /inference.");
        if (code >= 300 && code < 400)
            return QStringLiteral("The server redirects elsewhere: write the address it points "
                                  "to in \"%1.url\".")
                .arg(name);
        if (code == 429)
            return QStringLiteral("The service is rate-limiting this key: wait, or check the "
                                  "account's limits.");
        return {};
    } catch (...) {
        return {};
    }
}

// What a service made of the bundled speech sample.
struct ServiceAnswer {
    QString text;
    QString seconds; // "0.42"
    // What went wrong, and what the user can do about it; empty when nothing did.
    QString failure;
    QString remedy;

    bool answered() const { return failure.isEmpty() && !text.isEmpty(); }
    // "answered in 0.42 s: “…”", or "failed after 6.00 s: …"
    QString summary() const {
        return failure.isEmpty() ? QStringLiteral("answered in %1 s: \"%2\"").arg(seconds, text)
                                 : QStringLiteral("failed after %1 s: %2").arg(seconds, failure);
    }
};

// Runs `call`, a request to the service the settings name `name`, and times it.
QCoro::Task<ServiceAnswer> askService(QString name, QCoro::Task<QString> call) {
    QElapsedTimer clock;
    clock.start();
    ServiceAnswer answer;
    try {
        answer.text = (co_await std::move(call)).trimmed();
    } catch (...) {
        const std::exception_ptr failure = std::current_exception();
        answer.failure = describeError(failure);
        answer.remedy = remedy(failure, name);
    }
    answer.seconds = QString::number(clock.elapsed() / 1000.0, 'f', 2);
    if (answer.failure.isEmpty() && answer.text.isEmpty())
        answer.remedy = QStringLiteral("An empty answer: for transcription, check "
                                       "\"%1.language\"; Mirvo then pastes the on-device text.")
                            .arg(name);
    co_return answer;
}

// Runs `call` once and reports it; whether it answered with text.
QCoro::Task<bool> report(QString title, QString name, QCoro::Task<QString> call) {
    say(title);
    const ServiceAnswer answer = co_await askService(name, std::move(call));
    say(QStringLiteral("  ") + answer.summary());
    if (!answer.remedy.isEmpty())
        say(QStringLiteral("  → ") + answer.remedy);
    co_return answer.answered();
}

QString sampleFile() {
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString& path : {dir + QStringLiteral("/../share/mirvo/speech.wav"),
                                dir + QStringLiteral("/share/mirvo/speech.wav")})
        if (QFileInfo::exists(path))
            return path;
    return {};
}

QString sampleMissing(const QFile& sample) {
    return QStringLiteral("The speech sample is missing (%1): reinstall Mirvo.")
        .arg(sample.fileName());
}

QCoro::Task<QString> transcribeSample(PlatformServices& platform, ServiceClient& client,
                                      QByteArray sample) {
    return client.transcribe(std::move(sample),
                             transcriptionPrompt(platform.vocabulary()(), QString()));
}

QCoro::Task<int> checkAll(PlatformServices& platform) {
    const QString path = ServiceConfig::defaultPath(platform.configDirectory());
    const Services services = makeServices(platform, path, false);
    if (!services.transcription && !services.polish) {
        say(QStringLiteral("No speech service is set up: write %1 (the README shows one for "
                           "each service).")
                .arg(path));
        co_return 1;
    }
    bool allWell = true;
    QString heard = QStringLiteral("so um I think we should uh meet on friday to talk about the "
                                   "budget");
    if (const std::shared_ptr<ServiceClient> client = services.transcription) {
        QFile sample(sampleFile());
        if (!sample.open(QIODevice::ReadOnly)) {
            say(sampleMissing(sample));
            co_return 1;
        }
        const ServiceEndpoint& speech = client->endpoint();
        QString text;
        const auto transcribe = [&]() -> QCoro::Task<QString> {
            text = co_await transcribeSample(platform, *client, sample.readAll());
            co_return text;
        };
        allWell = co_await report(QStringLiteral("Transcription: %1 (%2)")
                                      .arg(speech.displayName(), speech.url.toString()),
                                  QStringLiteral("transcription"), transcribe()) &&
                  allWell;
        if (!text.trimmed().isEmpty())
            heard = text.trimmed();
    }
    if (const std::shared_ptr<ServiceClient> client = services.polish) {
        const ServiceEndpoint& chat = client->endpoint();
        allWell =
            co_await report(
                QStringLiteral("Clean-up: %1 (%2)").arg(chat.displayName(), chat.url.toString()),
                QStringLiteral("polish"), client->polish(heard, LLMPolisher::systemPrompt)) &&
            allWell;
    }
    co_return allWell ? 0 : 1;
}

QCoro::Task<int> storeKey(PlatformServices& platform, QString name, bool remove) {
    ServiceKeys keys(platform.makeSecretStore(),
                     ServiceKeys::defaultFolder(platform.configDirectory()));
    ServiceKeys::Outcome outcome;
    if (remove) {
        outcome = co_await keys.forget(name);
    } else {
        const QString key = readKeyLine(name);
        outcome = co_await keys.store(name, key);
    }
    say(outcome.message);
    co_return outcome.ok ? 0 : 1;
}

} // namespace

int setServiceKey(PlatformServices& platform, const QString& name, bool remove) {
    if (!ServiceKeys::isKnownName(name)) {
        std::fprintf(stderr, "mirvo: --set-key takes transcription or polish\n");
        return 2;
    }
    return QCoro::waitFor(storeKey(platform, name, remove));
}

QCoro::Task<QString> testSpeechService(PlatformServices& platform) {
    const Services services =
        makeServices(platform, ServiceConfig::defaultPath(platform.configDirectory()), false);
    QFile sample(sampleFile());
    if (!services.transcription)
        co_return QStringLiteral("No speech service is set up: write its address.");
    if (!sample.open(QIODevice::ReadOnly))
        co_return sampleMissing(sample);
    const ServiceAnswer answer =
        co_await askService(QStringLiteral("transcription"),
                            transcribeSample(platform, *services.transcription, sample.readAll()));
    co_return answer.remedy.isEmpty() ? answer.summary()
                                      : answer.summary() + QLatin1Char('\n') + answer.remedy;
}

int checkServices(PlatformServices& platform) {
    // What is sent is the bundled sample, not the user's words: a service's answers may be shown.
    setLogDictatedWords(true);
    return QCoro::waitFor(checkAll(platform));
}
