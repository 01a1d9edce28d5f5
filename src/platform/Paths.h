#pragma once

#include <QString>

// Where per-user application data lives: ~/.config ($XDG_CONFIG_HOME) on Linux.
QString applicationSupportDirectory();
