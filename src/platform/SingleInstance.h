#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// One Mirvo per desktop session: two would each paste every dictation. The first launch
// listens for commands; a later one hands its command line over and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        primary,    // this process is Mirvo for the session
        forwarded,  // another one runs and has the command: this process ends
        alone,      // no channel could be set up (logged): this process runs anyway
        unanswered, // another one runs but took no command (logged): this process ends, failed
    };
    // The command a second launch sends: its command-line arguments, to be shown the checklist
    // and have its URLs handled.
    static inline const QString openCommand = QStringLiteral("open");
    // The hold key's commands, for desktops that do not let Mirvo watch the key itself: the
    // key went down, it went up, or (for shortcuts that fire on press only) either.
    static inline const QString holdCommand = QStringLiteral("hold");
    static inline const QString releaseCommand = QStringLiteral("release");
    static inline const QString toggleCommand = QStringLiteral("toggle");
    // Paste the last dictation again into the focused window.
    static inline const QString pasteLastCommand = QStringLiteral("paste-last");
    // Open the Settings window (a desktop without a tray has no menu to open it from).
    static inline const QString settingsCommand = QStringLiteral("settings");
    // The commands a launch gives as `mirvo --NAME`.
    static QStringList launchCommands() {
        return {holdCommand, releaseCommand, toggleCommand, pasteLastCommand, settingsCommand};
    }

    // A copy of Mirvo started by a restart has its parent's pid here: it waits for the parent to
    // end instead of handing its command to it.
    static inline const char* restartedFromVariable = "MIRVO_RESTARTED_FROM";

    enum class Delivery {
        delivered,
        noInstance, // no Mirvo runs
        refused,    // it runs and does not know the command
        unanswered, // it runs and did not answer in time
    };

    // Forwards `arguments` to a running instance, or becomes the one others forward to.
    virtual Role claim(const QStringList& arguments) = 0;
    // Hands `command` to the running instance, never becoming one.
    virtual Delivery deliver(const QString& command) = 0;

signals:
    // Another launch's command (main thread).
    void commandReceived(const QString& command, const QStringList& arguments);
};

// `mirvo --hold` and the like, run by a desktop key binding: hands `command` to the running
// Mirvo and gives the launch's exit status, saying on stderr why when it was not taken. Nothing
// starts when none runs, since a binding may fire at any time.
int sendCommand(SingleInstance& instance, const QString& command);
