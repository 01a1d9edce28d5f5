#pragma once

#include <QString>

// Mirvo's application id: the basename of its installed .desktop file, the name by which
// desktops and their portals know it.
inline const QString mirvoAppId = QStringLiteral("ai.mirvo.Mirvo");
