#pragma once
// パスワードの入力: asked when the keyring could not give a password the
// settings keep there. It shows why, takes the password (and the SMTP one
// when that is a separate entry) and hands them back; opened, never run, so
// the program goes on meanwhile.
#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class PasswordPrompt : public QDialog {
    Q_OBJECT
  public:
    // reason: what failed, in the user's words. askPop / askSmtp: which
    // passwords are wanted; account names shown beside them. parent: the
    // window it opens over, if one is shown.
    PasswordPrompt(const QString &reason, bool askPop, const QString &popAccount, bool askSmtp,
                   const QString &smtpAccount, QWidget *parent = nullptr);

  signals:
    // ＯＫ with every asked password filled in; the others empty.
    void entered(const QString &pop, const QString &smtp);
    // キャンセル, Esc or the close box.
    void cancelled();

  public slots:
    void reject() override;

  private:
    void Command1_Click();

    QLineEdit *m_pop = nullptr;
    QLineEdit *m_smtp = nullptr;
    bool m_done = false;
};
