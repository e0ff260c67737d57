#pragma once
// Form4, the new-mail popup: a small tool window that stays above all others
// until the user acknowledges it. What it says is told by the check.
#include <QWidget>

class QLabel;
class QPushButton;

class Form4 : public QWidget {
    Q_OBJECT
  public:
    explicit Form4(QWidget *parent = nullptr);

    // Label1, the message.
    void setMessage(const QString &text);

  signals:
    // ＯＫ: the owner sets New_mail_number2 to 0 and unloads the popup.
    void okClicked();
    // The frame's close box: the owner unloads the popup and keeps the total.
    void closedByFrame();

  protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

  private:
    QLabel *Label1;        // the message
    QPushButton *Command1; // the ＯＫ button

    void Form_Load();
    void Command1_Click();

    bool m_acknowledged = false;
    bool m_centred = false;
};
