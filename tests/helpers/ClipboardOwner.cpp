// Another application holding the clipboard, with any types: what a user copied before
// dictating. Usage: ClipboardOwner LOGFILE TYPE=FILE...   Logs "owning" once it holds it.
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QMimeData>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    auto* mime = new QMimeData;
    for (int i = 2; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        QFile content(argument.section(QLatin1Char('='), 1));
        if (!content.open(QIODevice::ReadOnly))
            return 2;
        mime->setData(argument.section(QLatin1Char('='), 0, 0), content.readAll());
    }
    QApplication::clipboard()->setMimeData(mime, QClipboard::Clipboard);
    QFile log(QString::fromLocal8Bit(argv[1]));
    if (log.open(QIODevice::WriteOnly | QIODevice::Append))
        log.write("owning\n");
    log.close();
    return app.exec();
}
