// Mirvo on a headless sway desktop: the hold key bound to `mirvo --hold` / `--release` in
// sway's configuration (a toggle shortcut runs the same commands, tested on X11), the clipboard
// through wl-clipboard and the paste chord through wtype, into a Wayland terminal (Ctrl+Shift+V).
#include "support/MirvoProcess.h"
#include "support/PulseAudioServer.h"
#include "support/SpokenText.h"
#include "support/Utilities.h"
#include "support/WaylandSession.h"

#include <QFile>
#include <QTest>

namespace {

const QString sampleText = QStringLiteral("please send the quarterly report to the finance team "
                                          "before noon the meeting has moved to thursday");

double wer(const QString& heard) {
    return SpokenText::wordErrorRate(SpokenText::words(sampleText), SpokenText::words(heard));
}

} // namespace

class WaylandTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString speechPath;

private slots:
    void initTestCase() {
        speechPath = dir.filePath("spoken.wav");
        QVERIFY(SpokenText::synthesize({sampleText}, speechPath));
        QFile::setPermissions(dir.path(), QFile::Permissions(0x7755));
        QFile::setPermissions(speechPath, QFile::Permissions(0x6644));
    }

    void dictatesIntoWaylandApplications() {
        const QString mirvo = QStringLiteral(MIRVO_BINARY);
        WaylandSession session("bindsym --no-repeat Control_R exec " + mirvo + " --hold\n" +
                               "bindsym --release Control_R exec " + mirvo + " --release");
        QVERIFY2(session.start(), qPrintable(session.error()));
        PulseAudioServer pulse;
        QVERIFY2(pulse.start(), qPrintable(pulse.error()));
        session.share(qEnvironmentVariable("PULSE_SERVER").mid(5));

        // A desktop has a keyboard all along; a headless sway has one only while a virtual
        // keyboard exists, and clients lose track of the clipboard when keyboards come and go.
        Subprocess keyboard;
        QVERIFY(session.spawn(keyboard, "wtype", {"-s", "600000"}));
        QTest::qWait(300);

        // A terminal holds the focus; another client holds the clipboard.
        const QString typed = session.dir() + "/typed.txt";
        Subprocess terminal;
        QVERIFY(session.spawn(terminal, "foot", {"sh", "-c", "cat > " + typed}));
        QTRY_COMPARE_WITH_TIMEOUT(session.focusedAppId(), QStringLiteral("foot"), 10000);
        QVERIFY(session.run("wl-copy", {"what the user had"}));

        const QString home = session.dir() + "/config";
        QVERIFY(MirvoProcess::markChecklistCompleted(home));
        session.giveToUser(home);
        Subprocess app;
        const QString log = session.dir() + "/mirvo.log";
        QVERIFY(session.spawn(app, mirvo, {}, {"XDG_CONFIG_HOME=" + home}, log));
        const auto logged = [&](const QString& line, int times = 1) {
            const QDeadlineTimer deadline(30000);
            while (QString::fromUtf8(readFile(log)).count(line) < times && !deadline.hasExpired() &&
                   app.isRunning())
                QTest::qWait(20);
            return QString::fromUtf8(readFile(log)).count(line) >= times;
        };
        QVERIFY(logged("[Mirvo] coordinator up"));
        const QString started = QString::fromUtf8(readFile(log));
        QVERIFY2(started.contains("[Mirvo] session: wayland (sway, no XWayland)"),
                 qPrintable(started));
        QVERIFY(started.contains("[Mirvo] hotkey.start() OK (CommandHotkeyMonitor)"));
        QTest::qWait(1000); // the speech model warms up

        // Right Ctrl held through the virtual keyboard while the words play: sway runs
        // `mirvo --hold` and `mirvo --release`.
        Subprocess key;
        QVERIFY(session.spawn(key, "wtype", {"-P", "Control_R", "-s", "6500", "-p", "Control_R"}));
        QTest::qWait(400);
        QVERIFY(pulse.play(speechPath));
        QVERIFY(key.waitForSuccess(10000));
        QVERIFY(logged("[Mirvo] pasted"));
        // The terminal hands the line to `cat` once Return follows the pasted words.
        QTest::qWait(500);
        QVERIFY(session.run("wtype", {"-k", "Return"}));
        QTRY_COMPARE(QString::fromUtf8(readFile(typed)).count('\n'), 1);
        QVERIFY2(wer(QString::fromUtf8(readFile(typed))) <= 25, readFile(typed).constData());

        // The user's clipboard comes back.
        QByteArray clipboard;
        QTRY_VERIFY_WITH_TIMEOUT(session.run("wl-paste", {"--no-newline"}, &clipboard) &&
                                     clipboard == "what the user had",
                                 5000);
    }
};

QTEST_GUILESS_MAIN(WaylandTest)
#include "WaylandTest.moc"
