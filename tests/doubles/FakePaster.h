#pragma once

#include "mirvo/Paster.h"

#include <QStringList>

class FakePaster final : public Paster {
public:
    void paste(const QString& text) override { pasted.append(text); }
    QStringList pasted;
};
