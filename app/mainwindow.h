#pragma once
// The settings window "main": the program's hub. Its controls carry their
// given names as objectNames; its handlers are named after control and event.
#include <QWidget>

class Program;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    explicit MainWindow(Program &program);

    // Start-up: fills the window from the settings file.
    void Form_Load();
    // Saves the window's settings; false (after telling the user) when the
    // file cannot be written.
    bool SetDataWrite();
    // SetDataWrite at a test's successful end; declines when the settings
    // were edited after the test began.
    bool saveTestedSettings();
    void LogWrite();

    // Handlers.
    void Text_Change();
    void Option7_Click();
    void Option8_Click();
    void Option6_Click(int index);
    void Check1_Click();
    void Check3_Click();
    void Command1_Click(); // the 携帯/PHS button
    void Command2_Click(); // the テスト button
    void Command3_Click(); // the 終了 button
    void Command4_Click(); // the 実行 button
    void Command7_Click(); // the ヘルプ button
    void Timer1_Timer();   // scheduler tick
    void CheckTiming(const class QDateTime &now);
    void DialStart();

    // A check is in progress: a worker is loaded or the link monitor runs.
    bool checkInProgress() const;

    // Controls.
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
    QTimer *Timer1;

    // Window variables.
    QString Data_File;
    qint16 Dup_Mode = 0;
    qint16 Check_Interval = 0;
    qint16 Quiet_Flag = 0;
    qint16 Trf_Flag = 0;
    QString Quiet_Start;
    QString Quiet_End;
    QString Dup_Entry;
    QString Log_Message;
    QString Last_Check_Minute;

  protected:
    void closeEvent(class QCloseEvent *event) override;
    void showEvent(class QShowEvent *event) override;

  private:
    void buildControls();
    // The change rules that disable Run: they also mark a running test's
    // settings as edited.
    void disableRunByRule();
    QList<QRadioButton *> intervalOptions() const;
    // The selected interval option as its stored number, or -1 for none.
    int selectedInterval() const;
    void selectInterval(qint16 choice);
    bool readSettingsFile();
    void fillHourLists();

    Program &m_program;
    bool m_inTest = false; // the Test handler is on the stack
    bool m_editedDuringTest = false;
    bool m_centred = false;
};
