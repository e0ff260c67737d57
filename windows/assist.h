#pragma once
// windows/: the popup Form4 and the assistant アシスト, views that talk by
// signals. アシスト, the mobile address assistant, composes a destination
// address from a phone number (or account name) and a carrier choice.
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

    explicit Assist(QWidget *parent = nullptr);

    // The suffix a carrier choice stores, for Option1..Option19.
    static QString suffixOf(int option);

  signals:
    // Ｏ　Ｋ: the address composed (empty when nothing was typed). The owner
    // shows the settings window, takes the address, then unloads this one.
    void addressChosen(const QString &address);
    // キャンセル or the close box: unload, and the settings window back.
    void cancelled();

  protected:
    void closeEvent(QCloseEvent *event) override;

  private:
    QLabel *Label1;
    QLineEdit *Text1; // phone number or name
    QGroupBox *Frame1;
    std::array<QRadioButton *, kChoices> Option{};
    QPushButton *Command1; // Ｏ　Ｋ
    QPushButton *Command2; // キャンセル
    QString Mail_Suffix;   // suffix of the carrier clicked last

    void Form_Load();
    void Option_Click(int option);
    void Command1_Click();
    void Command2_Click();

    bool m_unloading = false;
};
