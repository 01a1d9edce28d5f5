#pragma once

#include "platform/AudioBuffer.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <exception>

// Why a transcriber cannot start. Its printed form is the case name.
class TranscriberError final : public std::exception {
public:
    enum class Case { unavailable, notAuthorized };

    explicit TranscriberError(Case c) : case_(c) {}
    static TranscriberError unavailable() { return TranscriberError(Case::unavailable); }
    static TranscriberError notAuthorized() { return TranscriberError(Case::notAuthorized); }

    Case value() const { return case_; }
    bool operator==(const TranscriberError& other) const { return case_ == other.case_; }
    const char* what() const noexcept override {
        return case_ == Case::unavailable ? "unavailable" : "notAuthorized";
    }

private:
    Case case_;
};

// One dictation's transcription engine: one start(), any number of append() calls, one finish().
class Transcriber {
public:
    virtual ~Transcriber() = default;

    // Prepares for a dictation; ready for buffers when it returns. Throws TranscriberError or
    // PlatformError when it cannot.
    virtual void start() = 0;
    // Takes one captured buffer in the recorder's format; called on the capture thread.
    virtual void append(const AudioBufferPtr& buffer) = 0;
    // Ends the dictation and returns the text, possibly empty. Never throws.
    virtual QCoro::Task<QString> finish() = 0;
};
