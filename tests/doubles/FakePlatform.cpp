#include "FakePlatform.h"

#include "common/MirvoError.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

class PasteboardReader final : public PasteboardItem {
public:
    explicit PasteboardReader(FakePasteboard::Item item) : item_(std::move(item)) {}
    QStringList types() const override {
        QStringList t;
        for (const auto& [type, bytes] : item_.types)
            t.append(type);
        return t;
    }
    std::optional<QByteArray> data(const QString& type) const override {
        if (item_.unreadable.contains(type))
            return std::nullopt;
        if (item_.failing.contains(type))
            throw MirvoError(MirvoError::Kind::timedOut,
                             QStringLiteral("wl-paste did not finish within 5000 ms"));
        for (const auto& [t, bytes] : item_.types)
            if (t == type)
                return bytes;
        return std::nullopt;
    }

private:
    FakePasteboard::Item item_;
};

} // namespace

std::optional<std::vector<std::unique_ptr<PasteboardItem>>> FakePasteboard::pasteboardItems() {
    calls.append("items");
    if (!hasContents)
        return std::nullopt;
    std::vector<std::unique_ptr<PasteboardItem>> out;
    for (const Item& item : items)
        out.push_back(std::make_unique<PasteboardReader>(item));
    return out;
}

void FakePasteboard::clearContents() {
    calls.append("clear");
    items.clear();
    hasContents = true;
}

bool FakePasteboard::setString(const QString& text, bool transient) {
    calls.append(QStringLiteral("setString ") + text + (transient ? " (transient)" : ""));
    if (refusesText)
        return false;
    items.push_back({{{plainTextType, text.toUtf8()}}, {}, {}});
    return true;
}

bool FakePasteboard::writeObjects(const std::vector<PasteboardItemData>& written) {
    calls.append(QStringLiteral("write %1").arg(written.size()));
    for (const PasteboardItemData& data : written) {
        Item item;
        for (const auto& [type, bytes] : data)
            item.types.emplace_back(type, bytes);
        items.push_back(item);
    }
    return true;
}

QString FakePasteboard::text() const {
    for (const Item& item : items)
        for (const auto& [type, bytes] : item.types)
            if (type == plainTextType)
                return QString::fromUtf8(bytes);
    return {};
}

std::shared_ptr<RecognitionTask>
FakeSpeechRecognizer::recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                      RecognitionHandler handler) {
    std::lock_guard lock(mutex_);
    if (nextTaskError)
        std::rethrow_exception(std::exchange(nextTaskError, nullptr));
    const bool probe = answersProbes && !request->shouldReportPartialResults;
    auto task = std::make_shared<FakeRecognitionTask>(std::move(request), std::move(handler));
    tasks_.push_back(task);
    if (probe)
        QTimer::singleShot(0, qApp, [task] {
            task->fail(MirvoError(MirvoError::Kind::noSpeech, "No speech detected"));
        });
    return task;
}

std::shared_ptr<FakeRecognitionTask> FakeSpeechRecognizer::task(size_t i) {
    std::lock_guard lock(mutex_);
    return i < tasks_.size() ? tasks_[i] : nullptr;
}

std::shared_ptr<FakeRecognitionTask> FakeSpeechRecognizer::dictationTask() {
    std::lock_guard lock(mutex_);
    for (auto t = tasks_.rbegin(); t != tasks_.rend(); ++t)
        if ((*t)->request->shouldReportPartialResults)
            return *t;
    return nullptr;
}

size_t FakeSpeechRecognizer::taskCount() {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

SpeechRecognizerProvider FakeSpeechRecognizer::provider() {
    return [self = shared_from_this()](const QString& locale) -> std::shared_ptr<SpeechRecognizer> {
        return locale == QLatin1String("en-US") ? self : nullptr;
    };
}

void FakeHUDPanel::setIgnoresMouseEvents(bool ignores) {
    calls.append(ignores ? "ignoreMouse" : "acceptMouse");
}

void FakeHUDPanel::setAlpha(double alpha) {
    finishFade();
    alpha_ = alpha;
    calls.append(QStringLiteral("alpha=%1").arg(alpha));
}

void FakeHUDPanel::showWithoutFocus() {
    visible = true;
    calls.append("orderFront");
}

void FakeHUDPanel::animateAlpha(double target, double seconds, std::function<void()> completion) {
    finishFade();
    calls.append(QStringLiteral("fade to %1 over %2").arg(target).arg(seconds));
    pendingTarget_ = target;
    pendingCompletion_ = completion ? std::move(completion) : [] {};
    fadePending_ = true;
}

void FakeHUDPanel::orderOut() {
    visible = false;
    calls.append("orderOut");
}

void FakeHUDPanel::finishFade() {
    if (!std::exchange(fadePending_, false))
        return;
    alpha_ = pendingTarget_;
    std::exchange(pendingCompletion_, nullptr)();
}

QCoro::Task<HTTPResponse> FakeHTTPSession::data(HTTPRequest request) {
    requests.append(request);
    const auto [response, error] =
        script.isEmpty() ? std::pair{HTTPResponse{true, 200, "{}"}, std::exception_ptr()}
                         : script.takeFirst();
    if (error)
        std::rethrow_exception(error);
    co_return response;
}

FakePlatform::FakePlatform(std::shared_ptr<CallLog> callLog)
    : log(std::move(callLog)), recognizer(std::make_shared<FakeSpeechRecognizer>()),
      loginItem(std::make_shared<FakeLoginItem>(false)) {}

std::unique_ptr<KeyWatcher> FakePlatform::watchHoldKey(const QString& holdKey,
                                                       HoldKeyChanged changed) {
    log->record("watchHoldKey " + holdKey);
    if (!keyWatchable)
        return nullptr;
    return ownedBy(keyWatcher, std::move(changed));
}

AudioFileOpener FakePlatform::audioFileOpener() {
    log->record("audioFileOpener");
    return [log = log](const QString& path) -> std::unique_ptr<AudioFile> {
        log->record("open " + path);
        throw MirvoError(MirvoError::Kind::audioFileUnreadable, "Cannot open " + path);
    };
}

QCoro::Task<bool> FakePlatform::microphoneAvailable() {
    co_return microphone;
}
