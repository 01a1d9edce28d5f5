#include "platform/Paths.h"

#include <QStandardPaths>

QString applicationSupportDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}
