#include "app/program.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    Program program(Seams::production());
    if (!program.start()) return 0; // another copy runs: end silently
    return app.exec();
}
