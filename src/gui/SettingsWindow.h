#pragma once

#include <QCoro/QCoroTask>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <memory>

class DictationHistory;
class LoginItemControlling;
class PlatformServices;
class QCheckBox;
class QComboBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QRadioButton;
class QVBoxLayout;
class ServiceKeys;
class UserDefaults;

// What the window's changes need of the running Mirvo.
struct SettingsActions {
    // Another hold key was stored: watch it from now on.
    std::function<void()> holdKeyChanged;
    // The speech service was named anew, given a key, or switched on or off.
    std::function<void()> servicesChanged;
    // The bundled speech sample to the service as now stored; what to tell the user of it.
    std::function<QCoro::Task<QString>()> testService;
};

// A button that, once pressed, takes the next key pressed as the answer (Escape gives up).
class KeyCaptureButton final : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    bool isCapturing() const { return capturing_; }
    void setCapturing(bool capturing);

signals:
    void captured(QKeyEvent* event);

protected:
    bool event(QEvent* event) override;

private:
    bool capturing_ = false;
};

// Every choice Mirvo offers in one window, in the checklist's style: each change is stored where
// Mirvo reads it (the user defaults, the service settings file, the keyring) and applies to the
// next dictation. Keyboard-navigable; Escape closes it. Main thread.
class SettingsWindow final : public QWidget {
    Q_OBJECT
public:
    SettingsWindow(PlatformServices& platform, std::shared_ptr<UserDefaults> defaults,
                   std::shared_ptr<DictationHistory> history,
                   std::shared_ptr<LoginItemControlling> loginItem, SettingsActions actions);
    ~SettingsWindow() override;

    // What the user is told of the hold key and of the speech service.
    QString holdKeyStatus() const;
    QString serviceStatus() const;

    // The vocabulary file's first line, which says how to write it.
    static const QString vocabularyHeader;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QVBoxLayout* addCard(QVBoxLayout* page, const QString& title, const QString& description);
    void buildHoldKey(QVBoxLayout* card);
    void buildSpeech(QVBoxLayout* card);
    void buildDictation(QVBoxLayout* card);
    void showHoldKey();
    void chooseHoldKey(QKeyEvent* event);
    void setServiceOn(bool on);
    void storeService();
    static QCoro::Task<> storeKey(QPointer<SettingsWindow> self, QString key);
    static QCoro::Task<> test(QPointer<SettingsWindow> self);
    void editVocabulary();

    PlatformServices& platform_;
    const std::shared_ptr<UserDefaults> defaults_;
    const std::shared_ptr<DictationHistory> history_;
    const std::shared_ptr<LoginItemControlling> loginItem_;
    const SettingsActions actions_;
    const std::shared_ptr<ServiceKeys> keys_;
    QLabel* holdKeyLabel_ = nullptr;
    KeyCaptureButton* holdKeyButton_ = nullptr;
    QLineEdit* address_ = nullptr;
    QLineEdit* model_ = nullptr;
    QLineEdit* key_ = nullptr;
    QLabel* serviceLabel_ = nullptr;
    // The address and model as the service settings hold them.
    QStringList storedService_;
};
