#pragma once
// Placeholder until the SMTP session lands.
#include "app/checkhost.h"

#include <QObject>

class Form3 : public QObject {
    Q_OBJECT
public:
    explicit Form3(CheckHost &host, QObject *parent = nullptr) : QObject(parent), m_host(host)
    {
        setObjectName(QStringLiteral("Form3"));
    }
    void Form_Load() {}
    void Form_Unload() {}

private:
    CheckHost &m_host;
};
