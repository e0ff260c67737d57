#pragma once
#include "platform/seams.h"

#include <QObject>

class Program : public QObject {
    Q_OBJECT
public:
    explicit Program(Seams seams, QObject *parent = nullptr);
    bool start();

private:
    Seams m_seams;
};
