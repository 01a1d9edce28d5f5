#include "UserFile.h"

#include "common/JSONDecoding.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>
#include <unistd.h>

QByteArray readUserFile(const QString& path, qint64 maxBytes) {
    QFile file(path);
    if (QFileInfo(path).isDir())
        throw DecodingError(QStringLiteral("it is a directory, not a file"));
    if (file.size() > maxBytes)
        throw DecodingError(QStringLiteral("the file is %1 bytes; a configuration file is at "
                                           "most %2 bytes")
                                .arg(file.size())
                                .arg(maxBytes));
    if (!file.open(QIODevice::ReadOnly))
        throw DecodingError(QStringLiteral("cannot read the file: %1").arg(file.errorString()));
    QByteArray data = file.read(maxBytes + 1);
    if (data.size() > maxBytes) // a device or pipe that reports no size
        throw DecodingError(
            QStringLiteral("the file holds more than %1 bytes; not a configuration file")
                .arg(maxBytes));
    return data;
}

QString unsafeUserFileProblem(const QString& path) {
    const QFileInfo file(path);
    if (file.ownerId() != uint(::getuid()))
        return QStringLiteral("it belongs to another user");
    if (file.permissions() & (QFileDevice::WriteGroup | QFileDevice::WriteOther))
        return QStringLiteral("other users can change it (chmod 600 it)");
    // Others may add to a sticky folder (/tmp) but not replace what is the user's.
    struct stat folder {};
    const QString folderPath = file.absolutePath();
    if (::stat(QFile::encodeName(folderPath).constData(), &folder) == 0 &&
        (folder.st_mode & S_IWOTH) && !(folder.st_mode & S_ISVTX))
        return QStringLiteral("its folder %1 can be changed by other users").arg(folderPath);
    return QString();
}

bool othersMayRead(const QString& path) {
    return QFileInfo(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther);
}

QString writeUserFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) &&
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) &&
        file.write(data) == data.size() && file.commit())
        return {};
    return file.errorString();
}
