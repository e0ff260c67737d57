#pragma once
// Placeholder until the POP3 session lands.
#include "app/checkhost.h"

#include <QObject>

class Form1 : public QObject {
    Q_OBJECT
public:
    explicit Form1(CheckHost &host, QObject *parent = nullptr) : QObject(parent), m_host(host)
    {
        setObjectName(QStringLiteral("Form1"));
    }
    void Form_Load() {}
    void Form_Unload() {}

private:
    CheckHost &m_host;
};
