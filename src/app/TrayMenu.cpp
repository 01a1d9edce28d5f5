#include "MirvoApp.h"

#include "common/Log.h"
#include "core/Paster.h"
#include "core/SettingKeys.h"
#include "platform/LoginItem.h"
#include "platform/Pasteboard.h"
#include "platform/PlatformServices.h"
#include "platform/Tray.h"
#include "platform/UserDefaults.h"

#include <QApplication>

// The tray menu: its items, and what each does.

namespace {

// Entries the "Recent Dictations" menu lists, and the characters of each it shows.
constexpr int menuEntries = DictationCoordinator::maxRecentTranscripts;
constexpr int menuTitleLength = 40;

} // namespace

void MirvoAppDelegate::installMenuBar() {
    statusItem_ = platform_.makeTray();
    const QPixmap image(QStringLiteral(":/menubar-icon.png"));
    if (!image.isNull())
        trayIcon_ = QIcon(image.scaled(22, 22, Qt::KeepAspectRatio, Qt::SmoothTransformation));

    menu_ = std::make_unique<QMenu>();
    const auto add = [this](const QString& title, auto action) {
        QAction* item = menu_->addAction(title);
        connect(item, &QAction::triggered, this, action);
        return item;
    };
    add(QStringLiteral("About Mirvo ") + UpdateChecker::currentAppVersion(),
        &MirvoAppDelegate::openWebsite);
    QAction* pendingUpdate = add(QString(), &MirvoAppDelegate::openPendingUpdate);
    pendingUpdate->setVisible(false);
    add(QStringLiteral("Check for Updates…"), &MirvoAppDelegate::manualUpdateCheck);
    add(QStringLiteral("Setup Checklist…"), &MirvoAppDelegate::openChecklist);
    add(QStringLiteral("Settings…"), &MirvoAppDelegate::openSettings);
    pasteLastItem_ =
        add(QStringLiteral("Paste Last Dictation"), &MirvoAppDelegate::pasteLastDictation);
    recentMenu_ = menu_->addMenu(QStringLiteral("Recent Dictations"));
    menu_->addSeparator();
    speechEngineItem_ = menu_->addAction(QString());
    speechEngineItem_->setEnabled(false);
    speechServiceItem_ = add(QString(), &MirvoAppDelegate::toggleSpeechService);
    speechServiceItem_->setCheckable(true);
    menu_->addSeparator();
    launchAtLoginItem_ =
        add(QStringLiteral("Launch at Login"), &MirvoAppDelegate::toggleLaunchAtLogin);
    launchAtLoginItem_->setCheckable(true);
    menu_->addSeparator();
    QAction* quit = menu_->addAction(QStringLiteral("Quit Mirvo"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    connect(menu_.get(), &QMenu::aboutToShow, this, &MirvoAppDelegate::menuWillOpen);
    updates_ =
        std::make_shared<UpdateSchedule>(platform_, defaults_, manifestURL_, pendingUpdate,
                                         timing_.firstUpdateCheck, timing_.updateCheckInterval);

    showTray();
}

void MirvoAppDelegate::showTray() {
    if (!statusItem_)
        return;
    const QString key = platform_.holdKeyDisplayName(holdKey(*defaults_, platform_));
    statusItem_->show(trayIcon_, QStringLiteral("Mirvo — hold %1 to dictate").arg(key),
                      menu_.get());
}

void MirvoAppDelegate::menuWillOpen() {
    launchAtLoginItem_->setChecked(loginItem_->isEnabled());
    const auto& service = coordinator_ ? coordinator_->speechService : std::nullopt;
    const bool serviceOn = service && service->on->load();
    speechEngineItem_->setText(QStringLiteral("Speech: ") +
                               (serviceOn ? service->name : QStringLiteral("on this computer")));
    speechServiceItem_->setVisible(service.has_value());
    if (service) {
        speechServiceItem_->setText(QStringLiteral("Use ") + service->name);
        speechServiceItem_->setChecked(serviceOn);
    }
    pasteLastItem_->setEnabled(!history_->isEmpty());
    recentMenu_->clear();
    const QList<DictationEntry> entries = history_->entries().mid(0, menuEntries);
    for (const DictationEntry& entry : entries) {
        QAction* item = recentMenu_->addAction(menuTitle(entry));
        connect(item, &QAction::triggered, this,
                [this, text = entry.text] { copyDictation(text); });
    }
    if (entries.isEmpty())
        recentMenu_->addAction(QStringLiteral("No Recent Dictations"))->setEnabled(false);
    recentMenu_->addSeparator();
    QAction* clear = recentMenu_->addAction(QStringLiteral("Clear Recent Dictations"));
    clear->setEnabled(!entries.isEmpty());
    connect(clear, &QAction::triggered, this, &MirvoAppDelegate::clearRecentDictations);
}

QString MirvoAppDelegate::menuTitle(const DictationEntry& entry) {
    // One line (a tab would start the shortcut column); an "&" is shown, not made a mnemonic.
    QString title = entry.text.simplified();
    if (title.size() > menuTitleLength)
        title = title.left(menuTitleLength) + QStringLiteral("…");
    title.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return entry.wasPasted() ? title : title + QStringLiteral(" (not pasted)");
}

void MirvoAppDelegate::pasteLastDictation() {
    if (!coordinator_) {
        mirvoLog(QStringLiteral("[Mirvo] paste last: dictation has not started yet"));
        return;
    }
    coordinator_->pasteLast();
}

void MirvoAppDelegate::copyDictation(const QString& text) {
    if (!pasteboard_)
        pasteboard_ = platform_.makePasteboard();
    pasteboard_->clearContents();
    if (!pasteboard_->setString(text)) {
        mirvoLog(QStringLiteral("[Mirvo] a recent dictation could not be copied"),
                 LogLevel::warning);
        return;
    }
    mirvoLog(QStringLiteral("[Mirvo] recent dictation copied: ") + dictatedText(text));
    platform_.notifyUser(ClipboardHandoffPaster::copiedMessage);
}

void MirvoAppDelegate::clearRecentDictations() {
    history_->clear();
}

void MirvoAppDelegate::openWebsite() {
    const QUrl url(websiteURLString(), QUrl::StrictMode);
    if (url.isValid() && !url.host().isEmpty())
        openURLOrSay(platform_, url);
}

void MirvoAppDelegate::openChecklist() {
    showOnboarding();
}

void MirvoAppDelegate::toggleSpeechService() {
    if (!coordinator_ || !coordinator_->speechService)
        return;
    const bool on = !coordinator_->speechService->on->load();
    coordinator_->speechService->on->store(on);
    defaults_->setValue(SettingKeys::useSpeechService, on);
    mirvoLog(QStringLiteral("[Mirvo] speech: ") +
             (on ? coordinator_->speechService->name : QStringLiteral("on this computer")));
}

void MirvoAppDelegate::toggleLaunchAtLogin() {
    // The check mark follows the real state the next time the menu opens.
    setLoginItemOrSay(*loginItem_, !loginItem_->isEnabled());
}
