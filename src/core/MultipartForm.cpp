#include "MultipartForm.h"

#include <QUuid>

MultipartForm::MultipartForm()
    : boundary_("mirvo-" +
                QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1()) {}

void MultipartForm::addField(const QByteArray& name, const QByteArray& value) {
    body_ += "--" + boundary_ + "\r\n";
    body_ += "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n";
    body_ += value;
    body_ += "\r\n";
}

void MultipartForm::addFile(const QByteArray& name, const QByteArray& fileName,
                            const QByteArray& type, const QByteArray& bytes) {
    body_.reserve(body_.size() + bytes.size() + 256);
    body_ += "--" + boundary_ + "\r\n";
    body_ +=
        "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName + "\"\r\n";
    body_ += "Content-Type: " + type + "\r\n\r\n";
    body_ += bytes;
    body_ += "\r\n";
}

QByteArray MultipartForm::finish() {
    body_ += "--" + boundary_ + "--\r\n";
    return std::move(body_);
}

QByteArray MultipartForm::contentType() const {
    return "multipart/form-data; boundary=" + boundary_;
}
