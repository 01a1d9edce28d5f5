#pragma once

#include <QString>

class PlatformServices;

// The command line's service tools, which need no display: each prints for the user and
// returns the exit status.

// `mirvo --set-key NAME [--remove]`: the key is read from standard input (never from the command
// line, where others see it) and stored in the keyring.
int setServiceKey(PlatformServices& platform, const QString& name, bool remove);
// `mirvo --check-service`: the bundled speech sample to each configured service, and what came
// back. 0 when every one answered.
int checkServices(PlatformServices& platform);
