#include "app/program.h"

Program::Program(Seams seams, QObject *parent) : QObject(parent), m_seams(std::move(seams)) {}

bool Program::start() { return true; }
