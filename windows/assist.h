#pragma once
// アシスト, the mobile address assistant: composes a destination address from
// a phone number (or account name) and a carrier choice, and writes it into
// the settings window's destination field.
#include <QString>
#include <QWidget>
#include <array>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class Assist : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kChoices = 19;

    // settingsWindow is shown again on Ｏ　Ｋ and キャンセル; text3 receives the address.
    Assist(QWidget *settingsWindow, QLineEdit *text3, QWidget *parent = nullptr);

    // The suffix a carrier choice stores, for Option1..Option19.
    static QString suffixOf(int option);

    QLabel *Label1;
    QLineEdit *Text1; // phone number or name
    QGroupBox *Frame1;
    std::array<QRadioButton *, kChoices> Option{};
    QPushButton *Command1; // Ｏ　Ｋ
    QPushButton *Command2; // キャンセル
    QString Mail_Suffix;   // suffix of the carrier clicked last

  signals:
    // The owner unloads the window (deleteLater) on this.
    void unloadRequested();

  protected:
    void closeEvent(QCloseEvent *event) override;

  private:
    void Form_Load();
    void Option_Click(int option);
    void Command1_Click();
    void Command2_Click();

    QWidget *m_settingsWindow;
    QLineEdit *m_text3;
    bool m_unloading = false;
};
