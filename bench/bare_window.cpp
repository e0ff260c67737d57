// The yardstick for start-up time and idle memory: a bare Qt Widgets
// program that shows one window of the settings window's size. With
// --label the window also shows one line of Japanese text, which makes Qt
// set up fontconfig and load a Japanese font, as any Japanese window must.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare window"));
    window.setFixedSize(458, 508);
    if (argc > 1 && QString::fromLocal8Bit(argv[1]) == u"--label")
        (new QLabel(QStringLiteral("着信チェックメールサーバ"), &window))->move(16, 16);
    window.show();
    return app.exec();
}
