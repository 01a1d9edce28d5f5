#pragma once

#include "platform/HUDPanel.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class CancellableWork;

struct HUDMode {
    enum class Kind { listening, processing, error };
    Kind kind = Kind::listening;
    QString message; // for an error; for processing, what it waits for (may be empty)

    static HUDMode listening() { return {Kind::listening, {}}; }
    static HUDMode processing(QString message = {}) {
        return {Kind::processing, std::move(message)};
    }
    static HUDMode error(QString message) { return {Kind::error, std::move(message)}; }
    bool operator==(const HUDMode&) const = default;
};

// What the HUD shows. Announces each change before views redraw. Main thread only.
class HUDModel final : public QObject {
    Q_OBJECT
public:
    double level() const { return level_; }
    void setLevel(double level);
    const HUDMode& mode() const { return mode_; }
    // A new mode forgets the words heard.
    void setMode(HUDMode mode);
    // While listening: the words heard so far, empty for none.
    const QString& heard() const { return heard_; }
    void setHeard(const QString& words);

signals:
    void levelChanged(double level);
    void modeChanged();
    void heardChanged();

private:
    double level_ = 0;
    HUDMode mode_ = HUDMode::listening();
    QString heard_;
};

// Owns the floating panel and fades it in and out. Main thread only.
class HUDWindowController final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HUDWindowController)
public:
    explicit HUDWindowController(HUDPanelFactory panelFactory);
    ~HUDWindowController() override;

    void show();
    // `message` says what the dictation waits for, when it is more than the recogniser's answer.
    void showProcessing(const QString& message = {});
    void showError(const QString& message, double duration);
    // While listening, the words heard so far under the meter.
    void showHeard(const QString& words);
    void hide();

    HUDModel& model() { return model_; }
    // The panel, once a show operation has made it.
    HUDPanel* panel() const { return panel_.get(); }
    // How long the error on screen stays before it hides itself; absent when no hide is pending.
    std::optional<double> pendingAutoHideSeconds() const;

private:
    bool ensurePanel();
    void cancelAutoHide();
    // Switches the model to `mode` with the level at rest; false when there is no panel.
    bool enter(HUDMode mode);
    // Shows the panel from transparent to opaque over `seconds`.
    void fadeIn(double seconds);

    HUDPanelFactory panelFactory_;
    std::unique_ptr<HUDPanel> panel_;
    HUDModel model_;
    std::shared_ptr<CancellableWork> autoHideWork_;
    double autoHideSeconds_ = 0;
    // Bumped by every show operation; a fade-out only orders the panel out if no show came since.
    quint64 showGeneration_ = 0;
    bool loggedNoScreen_ = false;
};
