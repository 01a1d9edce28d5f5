// A separate application for desktop tests: a focused text field that logs what it receives.
// Usage: TextFieldApp LOGFILE [--own-clipboard]
// Log lines: "ready", "text <contents>" on every change, "key <mods>+<key>" for key presses.
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QTimer>

namespace {

QFile* logFile = nullptr;

void logLine(const QString& line) {
    logFile->write(line.toUtf8() + '\n');
    logFile->flush();
}

class KeyLogger final : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (!key->isAutoRepeat())
                logLine(QStringLiteral("key ") +
                        QKeySequence(key->keyCombination()).toString(QKeySequence::PortableText));
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QFile file(QString::fromLocal8Bit(argv[1]));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 2;
    logFile = &file;

    if (argc > 2 && QByteArray(argv[2]) == "--own-clipboard") {
        auto* mime = new QMimeData;
        mime->setText(QStringLiteral("plain words"));
        mime->setHtml(QStringLiteral("<i>html words</i>"));
        mime->setData(QStringLiteral("application/x-mirvo-test"), QByteArray("\x00\x01\xfe", 3));
        QApplication::clipboard()->setMimeData(mime, QClipboard::Clipboard);
    }

    QLineEdit field;
    field.setWindowTitle(QStringLiteral("Mirvo test field"));
    field.resize(400, 40);
    KeyLogger keys;
    app.installEventFilter(&keys);
    QObject::connect(&field, &QLineEdit::textChanged,
                     [](const QString& text) { logLine(QStringLiteral("text ") + text); });
    field.show();
    field.raise();
    field.activateWindow();
    field.setFocus();
    QTimer::singleShot(300, [&] {
        field.activateWindow();
        logLine(QStringLiteral("ready"));
    });
    return app.exec();
}
