#include "FakePolisher.h"

QCoro::Task<QString> FakePolisher::polish(QString text) {
    inputs.append(text);
    co_return answer;
}
