#pragma once

#include <QCoro/QCoroTask>
#include <QString>

class PlatformServices;

// The bundled speech sample to the transcription service of the user's settings, as
// `mirvo --check-service` sends it (the Settings window's Test button): what came back, or what
// went wrong and what to do about it, in a sentence or two.
QCoro::Task<QString> testSpeechService(PlatformServices& platform);

// The command line's service tools, which need no display: each prints for the user and
// returns the exit status.

// `mirvo --set-key NAME [--remove]`: the key is read from standard input (never from the command
// line, where others see it) and stored in the keyring.
int setServiceKey(PlatformServices& platform, const QString& name, bool remove);
// `mirvo --check-service`: the bundled speech sample to each configured service, and what came
// back. 0 when every one answered.
int checkServices(PlatformServices& platform);
