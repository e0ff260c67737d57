#pragma once
// app/: the program object and its windows. The settings window "main" is a
// view: it shows a settings value, hands an edited copy back on テスト and
// 実行, and shows what the check reports. Its controls carry their given
// names as objectNames; its handlers are named after control and event.
#include "check/settingsfile.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    explicit MainWindow(QWidget *parent = nullptr);

    // Start-up: shows the settings read (fromFile false: none could be read,
    // the first-run state).
    void Form_Load(const SettingsRecord &settings, bool fromFile);
    // The settings as the controls hold them.
    SettingsRecord settings() const;
    // The dial-up entries for Combo1; its text stays.
    void setEntries(const QStringList &names);
    // The address the assistant composed, into Text3 (the change rules run).
    void setDestination(const QString &address);
    // The POP3 and SMTP servers of a provider chosen in 接続設定.
    void setServers(const QString &pop, const QString &smtp);
    // The connection settings the dialog handed back; a change runs the
    // change rules. No control of this window shows them.
    void setConnection(const ConnectionSettings &connection);
    // The certificates a save kept accepted (those of servers no longer
    // named are dropped); not an edit.
    // A refresh token the provider replaced, or the keyring gave: no edit.
    void setRefreshToken(const QString &refreshToken);
    void setAccepted(const AcceptedCertificate &pop, const AcceptedCertificate &smtp);
    // The passwords the keyring or its prompt gave, for settings read
    // without them: no change rule runs, a box already typed in stays.
    void setPasswords(const QString &pop, const QString &smtp);

    // The status line Text4.
    void setStatus(const QString &text);
    QString status() const;
    void showStatus(bool shown);
    bool statusShown() const;

    void setTestEnabled(bool enabled);
    void setRunEnabled(bool enabled);

    // A settings test begins; edits made after it mean the settings shown
    // are no longer the ones tested.
    void beginTest() { m_editedDuringTest = false; }
    bool editedDuringTest() const { return m_editedDuringTest; }

  signals:
    void testRequested();       // テスト
    void runRequested();        // 実行
    void exitRequested();       // 終了
    void helpRequested();       // ヘルプ
    void assistRequested();     // 携帯/PHS
    void connectionRequested(); // 接続設定...

  protected:
    void closeEvent(class QCloseEvent *event) override;
    void showEvent(class QShowEvent *event) override;

  private:
    void buildControls();
    void Text_Change();
    void Option7_Click();
    void Option8_Click();
    void Option6_Click(int index);
    void Check1_Click();
    void Check3_Click();
    // The change rules that disable Run: they also mark a running test's
    // settings as edited.
    void disableRunByRule();
    QList<QRadioButton *> intervalOptions() const;
    // The selected interval option as its stored number, or -1 for none.
    int selectedInterval() const;
    void selectInterval(qint16 choice);
    void fillHourLists();

    QGroupBox *Frame1;
    QLabel *Label1;
    QLineEdit *Text1;
    QLabel *Label5;
    QLineEdit *Text5;
    QLabel *Label6;
    QLineEdit *Text6;
    QLabel *Label2;
    QLineEdit *Text2;
    QGroupBox *FrameConnect; // objectName "接続"
    QRadioButton *Option7;
    QRadioButton *Option8;
    QComboBox *Combo1;
    QLineEdit *Text4;
    QGroupBox *Frame2;
    QRadioButton *Option6_1; // ポップアップウインドウ
    QRadioButton *Option6_0; // メール転送
    QPushButton *Command8;   // 接続設定...
    QPushButton *Command1;
    QLabel *Label3;
    QLineEdit *Text3;
    QCheckBox *Check3;
    QLabel *Label7;
    QLineEdit *Text7;
    QGroupBox *Frame3;
    QWidget *Frame4;
    QRadioButton *Option1;
    QRadioButton *Option2;
    QRadioButton *Option3;
    QRadioButton *Option4;
    QRadioButton *Option5;
    QCheckBox *Check1;
    QComboBox *Combo2;
    QLabel *Label4;
    QComboBox *Combo3;
    QPushButton *Command2;
    QPushButton *Command4;
    QPushButton *Command7;
    QPushButton *Command3;

    SettingsRecord m_loaded; // what settings() keeps where no control says
    bool m_editedDuringTest = false;
    bool m_centred = false;
};
