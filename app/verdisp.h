#pragma once
// VerDisp, the version window opened from the tray menu.
#include <QWidget>

class QLabel;
class QPushButton;

class VerDisp : public QWidget {
    Q_OBJECT
  public:
    explicit VerDisp(QWidget *parent = nullptr);

  signals:
    // Ｏ　Ｋ or the close box: the owner unloads the window.
    void unloadRequested();

  protected:
    void closeEvent(QCloseEvent *event) override;

  private:
    QLabel *Picture1;      // the program's picture
    QLabel *Label1;        // "クイルモン７４００"
    QLabel *Label2;        // "Ver1.13"
    QPushButton *Command1; // the Ｏ　Ｋ button

    void Command1_Click();
    bool m_unloading = false;
};
