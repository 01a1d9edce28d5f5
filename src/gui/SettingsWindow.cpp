#include "SettingsWindow.h"

#include "OnboardingWidgets.h"
#include "common/Log.h"
#include "common/WindowPlacement.h"
#include "core/DictationHistory.h"
#include "core/HotkeyMonitor.h"
#include "core/ServiceConfig.h"
#include "core/ServiceKeys.h"
#include "core/SettingKeys.h"
#include "core/UserFile.h"
#include "platform/LoginItem.h"
#include "platform/PlatformServices.h"
#include "platform/UserDefaults.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// A check box that stores its state under `key` (unset: `absent`) and then calls `changed`.
QCheckBox* switchFor(const QString& text, UserDefaults& defaults, const QString& key, bool absent,
                     std::function<void(bool)> changed = {}) {
    auto* box = new QCheckBox(text);
    box->setChecked(defaults.boolForKeyOr(key, absent));
    QObject::connect(box, &QCheckBox::toggled, box, [&defaults, key, changed](bool on) {
        defaults.setValue(key, on);
        mirvoLog(QStringLiteral("[Mirvo] settings: %1=%2").arg(key, boolText(on)));
        if (changed)
            changed(on);
    });
    return box;
}

// A list of `choices` (shown, stored) that stores the one picked under `key`; unset: the first.
QComboBox* choiceFor(const QList<std::pair<QString, QString>>& choices, UserDefaults& defaults,
                     const QString& key) {
    auto* box = new QComboBox;
    for (const auto& [shown, stored] : choices)
        box->addItem(shown, stored);
    box->setCurrentIndex(std::max(0, box->findData(defaults.stringForKey(key))));
    QObject::connect(box, &QComboBox::currentIndexChanged, box, [box, &defaults, key] {
        defaults.setValue(key, box->currentData().toString());
        mirvoLog(QStringLiteral("[Mirvo] settings: %1=%2").arg(key, box->currentData().toString()));
    });
    return box;
}

} // namespace

const QString SettingsWindow::vocabularyHeader =
    QStringLiteral("# Your words and names, one a line as they should be written (Kubernetes, Anna "
                   "Kowalski); lines starting with # are skipped.\n");

void KeyCaptureButton::setCapturing(bool capturing) {
    capturing_ = capturing;
    setText(capturing ? QStringLiteral("Press the key…") : QStringLiteral("Change Key…"));
}

bool KeyCaptureButton::event(QEvent* event) {
    // Before focus handling, so that Tab and Space can be chosen or refused like any key.
    if (capturing_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        setCapturing(false);
        if (key->key() != Qt::Key_Escape)
            emit captured(key);
        return true;
    }
    if (capturing_ && event->type() == QEvent::FocusOut)
        setCapturing(false);
    return QPushButton::event(event);
}

SettingsWindow::SettingsWindow(PlatformServices& platform, std::shared_ptr<UserDefaults> defaults,
                               std::shared_ptr<DictationHistory> history,
                               std::shared_ptr<LoginItemControlling> loginItem,
                               SettingsActions actions)
    : QWidget(nullptr, Qt::Window), platform_(platform), defaults_(std::move(defaults)),
      history_(std::move(history)), loginItem_(std::move(loginItem)), actions_(std::move(actions)),
      keys_(std::make_shared<ServiceKeys>(platform.makeSecretStore(),
                                          ServiceKeys::defaultFolder(platform.configDirectory()))) {
    setWindowTitle(QStringLiteral("Mirvo Settings"));
    auto* content = new QWidget;
    auto* page = new QVBoxLayout(content);
    page->setContentsMargins(24, 20, 24, 20);
    page->setSpacing(12);
    page->addWidget(onboardingLabel(QStringLiteral("Settings"), 20, QFont::Bold, false, content));
    buildHoldKey(addCard(page, QStringLiteral("Hold Key"),
                         QStringLiteral("Hold it anywhere to dictate; let go to paste.")));
    buildSpeech(addCard(page, QStringLiteral("Speech"),
                        QStringLiteral("Where your words are recognised.")));
    buildDictation(addCard(page, QStringLiteral("Dictation"), QString()));
    page->addStretch();
    auto* scroll = new QScrollArea;
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    setGeometry(centredOnMainScreen(QSize(560, std::min(content->sizeHint().height(), 720))));
}

SettingsWindow::~SettingsWindow() = default;

QVBoxLayout* SettingsWindow::addCard(QVBoxLayout* page, const QString& title,
                                     const QString& description) {
    auto* card = new OnboardingCard;
    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->addWidget(onboardingLabel(title, 13, QFont::DemiBold, false, card));
    if (!description.isEmpty())
        layout->addWidget(onboardingLabel(description, 11, QFont::Normal, true, card));
    page->addWidget(card);
    return layout;
}

void SettingsWindow::buildHoldKey(QVBoxLayout* card) {
    holdKeyLabel_ = onboardingLabel(QString(), 12, QFont::Normal, false, nullptr);
    card->addWidget(holdKeyLabel_);
    if (platform_.capabilities().holdKey == DesktopCapabilities::HoldKey::watched) {
        holdKeyButton_ = new KeyCaptureButton;
        holdKeyButton_->setCapturing(false);
        connect(holdKeyButton_, &QPushButton::clicked, this,
                [this] { holdKeyButton_->setCapturing(true); });
        connect(holdKeyButton_, &KeyCaptureButton::captured, this, &SettingsWindow::chooseHoldKey);
        card->addWidget(holdKeyButton_, 0, Qt::AlignLeft);
    }
    showHoldKey();
}

void SettingsWindow::showHoldKey() {
    const QString key = platform_.holdKeyDisplayName(holdKey(*defaults_, platform_));
    holdKeyLabel_->setText(
        holdKeyButton_
            ? QStringLiteral("Hold %1 to dictate.").arg(key)
            : QStringLiteral("Your desktop watches the hold key for Mirvo: %1. Change it in the "
                             "desktop's keyboard shortcut settings (Mirvo's \"Hold to "
                             "dictate\"), or where its key bindings run \"mirvo --hold\".")
                  .arg(key));
}

QString SettingsWindow::holdKeyStatus() const {
    return holdKeyLabel_->text();
}

void SettingsWindow::chooseHoldKey(QKeyEvent* event) {
    const QString name = platform_.holdKeyNamed(event->nativeVirtualKey());
    const QString typed = event->text();
    if (name.isEmpty()) {
        holdKeyLabel_->setText(QStringLiteral("Mirvo cannot watch that key on this desktop: "
                                              "choose another."));
    } else if (!typed.isEmpty() && typed.front().isPrint()) {
        // Held for a dictation, it would type into the application the words go to.
        holdKeyLabel_->setText(QStringLiteral("%1 types text: choose a key that types nothing, "
                                              "such as Right Ctrl, Right Alt or F13.")
                                   .arg(platform_.holdKeyDisplayName(name)));
    } else {
        defaults_->setValue(SettingKeys::holdKey, name);
        mirvoLog(QStringLiteral("[Mirvo] settings: hold key ") + name);
        showHoldKey();
        if (actions_.holdKeyChanged)
            actions_.holdKeyChanged();
    }
}

void SettingsWindow::buildSpeech(QVBoxLayout* card) {
    auto* local = new QRadioButton(QStringLiteral("On this computer"));
    auto* service = new QRadioButton(QStringLiteral("A speech service"));
    auto* group = new QButtonGroup(card);
    group->addButton(local);
    group->addButton(service);
    const std::optional<ServiceConfig> config =
        ServiceConfig::load(ServiceConfig::defaultPath(platform_.configDirectory()));
    const bool serviceOn = config && config->transcription &&
                           defaults_->boolForKeyOr(SettingKeys::useSpeechService, true);
    (serviceOn ? service : local)->setChecked(true);
    card->addWidget(local);
    card->addWidget(service);

    auto* fields = new QWidget;
    auto* form = new QFormLayout(fields);
    form->setContentsMargins(24, 0, 0, 0);
    address_ = new QLineEdit(config && config->transcription ? config->transcription->url.toString()
                                                             : QString());
    address_->setPlaceholderText(QStringLiteral("https://api.groq.com/openai/v1"));
    model_ =
        new QLineEdit(config && config->transcription ? config->transcription->model : QString());
    model_->setPlaceholderText(QStringLiteral("whisper-large-v3-turbo"));
    key_ = new QLineEdit;
    key_->setEchoMode(QLineEdit::Password);
    key_->setPlaceholderText(QStringLiteral("Paste a key to keep it in the keyring"));
    form->addRow(QStringLiteral("Address:"), address_);
    form->addRow(QStringLiteral("Model:"), model_);
    form->addRow(QStringLiteral("Key:"), key_);
    auto* testButton = new QPushButton(QStringLiteral("Test"));
    testButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    form->addRow(QString(), testButton);
    fields->setEnabled(serviceOn);
    storedService_ = {address_->text(), model_->text()};
    card->addWidget(fields);
    serviceLabel_ = onboardingLabel(QString(), 11, QFont::Normal, true, nullptr);
    serviceLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    card->addWidget(serviceLabel_);

    connect(service, &QRadioButton::toggled, this, [this, fields](bool on) {
        fields->setEnabled(on);
        setServiceOn(on);
    });
    connect(address_, &QLineEdit::editingFinished, this, &SettingsWindow::storeService);
    connect(model_, &QLineEdit::editingFinished, this, &SettingsWindow::storeService);
    connect(key_, &QLineEdit::editingFinished, this, [this] {
        const QString key = key_->text().trimmed();
        if (key.isEmpty())
            return;
        key_->clear();
        storeKey(this, key);
    });
    connect(testButton, &QPushButton::clicked, this, [this] { test(this); });
}

void SettingsWindow::setServiceOn(bool on) {
    defaults_->setValue(SettingKeys::useSpeechService, on);
    mirvoLog(QStringLiteral("[Mirvo] settings: speech ") +
             (on ? QStringLiteral("through the service") : QStringLiteral("on this computer")));
    if (actions_.servicesChanged)
        actions_.servicesChanged();
}

void SettingsWindow::storeService() {
    const QStringList fields = {address_->text().trimmed(), model_->text().trimmed()};
    if (fields == storedService_)
        return;
    const QString path = ServiceConfig::defaultPath(platform_.configDirectory());
    const QString problem = ServiceConfig::storeTranscription(path, fields[0], fields[1]);
    serviceLabel_->setText(problem.isEmpty() ? QStringLiteral("Saved in ") + path : problem);
    if (!problem.isEmpty())
        return;
    storedService_ = fields;
    if (actions_.servicesChanged)
        actions_.servicesChanged();
}

QString SettingsWindow::serviceStatus() const {
    return serviceLabel_->text();
}

QCoro::Task<> SettingsWindow::storeKey(QPointer<SettingsWindow> self, QString key) {
    const std::shared_ptr<ServiceKeys> keys = self->keys_;
    const ServiceKeys::Outcome outcome = co_await keys->store(QStringLiteral("transcription"), key);
    if (!self)
        co_return;
    self->serviceLabel_->setText(outcome.message);
    if (outcome.ok && self->actions_.servicesChanged)
        self->actions_.servicesChanged();
}

QCoro::Task<> SettingsWindow::test(QPointer<SettingsWindow> self) {
    // What the fields hold is what is tested.
    self->storeService();
    if (!self->actions_.testService)
        co_return;
    self->serviceLabel_->setText(QStringLiteral("Sending the speech sample…"));
    const QString said = co_await self->actions_.testService();
    if (self)
        self->serviceLabel_->setText(said);
}

void SettingsWindow::buildDictation(QVBoxLayout* card) {
    auto* form = new QFormLayout;
    card->addLayout(form);
    form->addRow(
        QStringLiteral("Recognition:"),
        choiceFor(
            {{QStringLiteral("Fast"), recognitionProfileName(RecognitionProfile::fast)},
             {QStringLiteral("Accurate"), recognitionProfileName(RecognitionProfile::accurate)}},
            *defaults_, SettingKeys::recognitionProfile));
    form->addRow(QStringLiteral("Playing media:"),
                 choiceFor({{QStringLiteral("Pause while I dictate"), QStringLiteral("pause")},
                            {QStringLiteral("Lower other sounds"), QStringLiteral("lower")},
                            {QStringLiteral("Leave alone"), QStringLiteral("leave")}},
                           *defaults_, SettingKeys::mediaWhileDictating));
    card->addWidget(switchFor(QStringLiteral("Write spoken punctuation (\"comma\", \"new line\")"),
                              *defaults_, SettingKeys::spokenPunctuation, true));
    card->addWidget(switchFor(QStringLiteral("Show the words heard while I speak"), *defaults_,
                              SettingKeys::showHeardWords, true));

    auto* history = new QHBoxLayout;
    history->addWidget(switchFor(QStringLiteral("Keep recent dictations after Mirvo quits"),
                                 *defaults_, SettingKeys::keepHistory, false,
                                 [this](bool keep) { history_->setKeep(keep); }));
    history->addStretch();
    auto* clear = new QPushButton(QStringLiteral("Clear"));
    connect(clear, &QPushButton::clicked, this, [this] { history_->clear(); });
    history->addWidget(clear);
    card->addLayout(history);

    auto* login = new QCheckBox(QStringLiteral("Launch at login"));
    login->setChecked(loginItem_->isEnabled());
    connect(login, &QCheckBox::toggled, this, [this, login](bool on) {
        if (!setLoginItemOrSay(*loginItem_, on)) {
            const QSignalBlocker quiet(login);
            login->setChecked(loginItem_->isEnabled());
        }
    });
    card->addWidget(login);

    auto* vocabulary = new QPushButton(QStringLiteral("Edit Vocabulary…"));
    connect(vocabulary, &QPushButton::clicked, this, &SettingsWindow::editVocabulary);
    card->addWidget(vocabulary, 0, Qt::AlignLeft);
}

void SettingsWindow::editVocabulary() {
    const QString path = platform_.vocabularyPath();
    if (!QFileInfo::exists(path))
        if (const QString failure = writeUserFile(path, vocabularyHeader.toUtf8());
            !failure.isEmpty())
            mirvoLog(QStringLiteral("[Mirvo] %1 could not be made: %2").arg(path, failure),
                     LogLevel::warning);
    openURLOrSay(platform_, QUrl::fromLocalFile(path));
}

void SettingsWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape)
        close();
    else
        QWidget::keyPressEvent(event);
}
