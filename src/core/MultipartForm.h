#pragma once

#include <QByteArray>

// A multipart/form-data body as the transcription services take it: text fields and one file,
// each part closed by CRLF, a fresh random boundary per form.
class MultipartForm final {
public:
    MultipartForm();

    // Names and values are written as they are, without escaping.
    void addField(const QByteArray& name, const QByteArray& value);
    void addFile(const QByteArray& name, const QByteArray& fileName, const QByteArray& type,
                 const QByteArray& bytes);
    // The body with its closing boundary; the form is done then.
    QByteArray finish();
    // "multipart/form-data; boundary=…"
    QByteArray contentType() const;

private:
    const QByteArray boundary_;
    QByteArray body_;
};
