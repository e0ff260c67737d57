#include "app/mainwindow.h"

#include "check/settingsfile.h"
#include "windows/singleline.h"
#include "windows/twips.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>

namespace {

void place(QWidget *w, int left, int top, int width, int height) {
    w->setGeometry(twRect(left, top, width, height));
}

// Selects one button of a group, or none: an exclusive group refuses to be
// emptied, so exclusivity is lifted for the change.
void selectOnly(const QList<QRadioButton *> &group, QRadioButton *which) {
    for (QRadioButton *b : group) {
        b->setAutoExclusive(false);
        b->setChecked(b == which);
        b->setAutoExclusive(true);
    }
}

const QString kTextFont = QStringLiteral("ＭＳ Ｐゴシック");

} // namespace

MainWindow::MainWindow(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("main"));
    buildControls();
}

void MainWindow::buildControls() {
    setWindowTitle(QStringLiteral("クイルモン7400"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(tw(6870), tw(7620));

    QFont textFont(kTextFont);
    textFont.setPointSizeF(11.25);

    auto label = [&](QWidget *parent, const char *name, const QString &caption, int l, int t, int w,
                     int h) {
        auto *lb = new QLabel(caption, parent);
        lb->setObjectName(QString::fromLatin1(name));
        place(lb, l, t, w, h);
        return lb;
    };
    auto textBox = [&](QWidget *parent, const char *name, int l, int t, int w, int h) {
        auto *e = new QLineEdit(parent);
        e->setObjectName(QString::fromLatin1(name));
        e->setFont(textFont);
        dropLineBreaks(e);
        place(e, l, t, w, h);
        return e;
    };
    auto frame = [&](QWidget *parent, const QString &name, const QString &caption, int l, int t,
                     int w, int h) {
        auto *f = new QGroupBox(caption, parent);
        f->setObjectName(name);
        place(f, l, t, w, h);
        return f;
    };
    auto option = [&](QWidget *parent, const char *name, const QString &caption, int l, int t,
                      int w, int h) {
        auto *o = new QRadioButton(caption, parent);
        o->setObjectName(QString::fromLatin1(name));
        place(o, l, t, w, h);
        return o;
    };
    auto button = [&](QWidget *parent, const char *name, const QString &caption, int l, int t,
                      int w, int h) {
        auto *b = new QPushButton(caption, parent);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        place(b, l, t, w, h);
        return b;
    };
    auto combo = [&](QWidget *parent, const char *name, int l, int t, int w, int h) {
        auto *c = new QComboBox(parent);
        c->setObjectName(QString::fromLatin1(name));
        // Editable, but typing is never completed from the list, as on
        // Windows. A line edit of our own with an empty completer also
        // spares the completion popup Qt builds for each box (a millisecond
        // each at start-up).
        auto *edit = new QLineEdit(c);
        edit->setCompleter(new QCompleter(edit));
        c->setLineEdit(edit);
        c->setInsertPolicy(QComboBox::NoInsert);
        place(c, l, t, w, h);
        return c;
    };

    Frame1 = frame(this, QStringLiteral("Frame1"), QStringLiteral("着信チェックメールサーバ"), 240,
                   120, 6375, 3375);
    Label1 = label(Frame1, "Label1", QStringLiteral("受信メールサーバ（ＰＯＰ３）"), 240, 360, 2175,
                   255);
    Text1 = textBox(Frame1, "Text1", 2520, 240, 3615, 375);
    Label5 = label(Frame1, "Label5", QStringLiteral("送信メールサーバ（ＳＭＴＰ）"), 240, 840, 2175,
                   255);
    Text5 = textBox(Frame1, "Text5", 2520, 720, 3615, 375);
    Label6 = label(Frame1, "Label6", QStringLiteral("ユーザアカウント"), 600, 1320, 1695, 255);
    Text6 = textBox(Frame1, "Text6", 2880, 1200, 3255, 375);
    Label2 =
        label(Frame1, "Label2", QStringLiteral("メールサーバパスワード"), 480, 1800, 2055, 255);
    Text2 = textBox(Frame1, "Text2", 2880, 1680, 3255, 375);
    Text2->setEchoMode(QLineEdit::Password);
    Text2->setAttribute(Qt::WA_InputMethodEnabled, false);
    FrameConnect =
        frame(Frame1, QStringLiteral("接続"), QStringLiteral("接続"), 240, 2160, 6015, 615);
    Option7 = option(FrameConnect, "Option7", QStringLiteral("LAN接続"), 240, 240, 1215, 255);
    Option8 =
        option(FrameConnect, "Option8", QStringLiteral("ダイアルアップ接続"), 1680, 240, 2055, 255);
    Combo1 = combo(FrameConnect, "Combo1", 3720, 240, 1935, 300);
    Text4 = textBox(Frame1, "Text4", 240, 2880, 6015, 375);
    Text4->setReadOnly(true);
    Text4->hide();

    Frame2 = frame(this, QStringLiteral("Frame2"), QStringLiteral("着信表示設定"), 240, 3600, 6375,
                   1815);
    Option6_1 =
        option(Frame2, "Option6_1", QStringLiteral("ポップアップウインドウ"), 240, 240, 2055, 375);
    Option6_0 = option(Frame2, "Option6_0", QStringLiteral("メール転送"), 2520, 240, 1455, 375);
    Option6_0->setChecked(true);
    // In the room the first row leaves, so that no other control moves.
    Command8 = button(Frame2, "Command8", QStringLiteral("接続設定..."), 4200, 240, 1935, 375);
    Command1 = button(Frame2, "Command1", QStringLiteral("携帯/PHS"), 240, 720, 1215, 375);
    Label3 = label(Frame2, "Label3", QStringLiteral("送信先アドレス"), 1680, 840, 1215, 255);
    Text3 = textBox(Frame2, "Text3", 3000, 720, 3135, 375);
    Check3 = new QCheckBox(QStringLiteral("送信者名指定"), Frame2);
    Check3->setObjectName(QStringLiteral("Check3"));
    place(Check3, 240, 1200, 1455, 375);
    Label7 = label(Frame2, "Label7", QStringLiteral("送信者名"), 1920, 1320, 1095, 255);
    Text7 = textBox(Frame2, "Text7", 3000, 1200, 3135, 375);

    Frame3 = frame(this, QStringLiteral("Frame3"), QStringLiteral("チェック間隔"), 240, 5640, 4935,
                   1695);
    Frame4 = new QWidget(Frame3);
    Frame4->setObjectName(QStringLiteral("Frame4"));
    place(Frame4, 120, 360, 1455, 1215);
    Option1 = option(Frame4, "Option1", QStringLiteral("２時間"), 120, 0, 1335, 255);
    Option2 = option(Frame4, "Option2", QStringLiteral("１時間"), 120, 240, 1095, 255);
    Option3 = option(Frame4, "Option3", QStringLiteral("３０分"), 120, 480, 975, 255);
    Option4 = option(Frame4, "Option4", QStringLiteral("１５分"), 120, 720, 1095, 255);
    Option5 = option(Frame4, "Option5", QStringLiteral("１０分"), 120, 960, 735, 255);
    Check1 = new QCheckBox(QStringLiteral("チェックしない時間帯を指定する"), Frame3);
    Check1->setObjectName(QStringLiteral("Check1"));
    place(Check1, 1920, 360, 2895, 375);
    Combo2 = combo(Frame3, "Combo2", 2040, 840, 975, 300);
    Combo2->setEditText(QStringLiteral("0:00"));
    Label4 = label(Frame3, "Label4", QStringLiteral("～"), 3120, 840, 255, 255);
    Label4->setFont(textFont);
    Combo3 = combo(Frame3, "Combo3", 3480, 840, 975, 300);
    Combo3->setEditText(QStringLiteral("0:00"));
    Combo2->hide();
    Label4->hide();
    Combo3->hide();

    Command2 = button(this, "Command2", QStringLiteral("テスト"), 5400, 5640, 1215, 375);
    Command4 = button(this, "Command4", QStringLiteral("実行"), 5400, 6120, 1215, 375);
    Command4->setEnabled(false);
    Command7 = button(this, "Command7", QStringLiteral("ヘルプ"), 5400, 6600, 1215, 375);
    Command3 = button(this, "Command3", QStringLiteral("終了"), 5400, 7080, 1215, 375);
    // Change rules run on programmatic changes too: textChanged, not textEdited.
    for (QLineEdit *e : {Text1, Text2, Text3, Text5, Text6, Text7})
        connect(e, &QLineEdit::textChanged, this, &MainWindow::Text_Change);
    connect(Option7, &QRadioButton::clicked, this, &MainWindow::Option7_Click);
    connect(Option8, &QRadioButton::clicked, this, &MainWindow::Option8_Click);
    connect(Option6_0, &QRadioButton::clicked, this, [this] { Option6_Click(0); });
    connect(Option6_1, &QRadioButton::clicked, this, [this] { Option6_Click(1); });
    connect(Check1, &QCheckBox::clicked, this, &MainWindow::Check1_Click);
    connect(Check3, &QCheckBox::clicked, this, &MainWindow::Check3_Click);
    connect(Command1, &QPushButton::clicked, this, &MainWindow::assistRequested);
    connect(Command8, &QPushButton::clicked, this, &MainWindow::connectionRequested);
    connect(Command2, &QPushButton::clicked, this, &MainWindow::testRequested);
    connect(Command3, &QPushButton::clicked, this, &MainWindow::exitRequested);
    connect(Command4, &QPushButton::clicked, this, &MainWindow::runRequested);
    connect(Command7, &QPushButton::clicked, this, &MainWindow::helpRequested);
}

void MainWindow::disableRunByRule() {
    Command4->setEnabled(false);
    m_editedDuringTest = true;
}

void MainWindow::Text_Change() {
    disableRunByRule();
    Command2->setEnabled(true);
    Text4->hide();
}

void MainWindow::Option7_Click() {
    disableRunByRule();
    Command2->setEnabled(true);
    selectOnly({Option7, Option8}, Option7);
    Combo1->hide();
    Text4->hide();
}

void MainWindow::Option8_Click() {
    disableRunByRule();
    Command2->setEnabled(true);
    selectOnly({Option7, Option8}, Option8);
    Combo1->show();
    Text4->hide();
}

void MainWindow::Option6_Click(int index) {
    const std::initializer_list<QWidget *> forwardingFields = {Command1, Label3, Text3, Label5,
                                                               Text5,    Label7, Text7};
    if (index == 0) {
        selectOnly({Option6_0, Option6_1}, Option6_0);
        for (QWidget *w : forwardingFields)
            w->show();
        disableRunByRule();
        Command2->setEnabled(true);
        Text4->hide();
    } else {
        selectOnly({Option6_0, Option6_1}, Option6_1);
        for (QWidget *w : forwardingFields)
            w->hide();
        Text4->hide();
    }
}

void MainWindow::Check1_Click() {
    const bool on = Check1->isChecked();
    Combo2->setVisible(on);
    Label4->setVisible(on);
    Combo3->setVisible(on);
}

void MainWindow::Check3_Click() {
    if (Check3->isChecked()) {
        Text7->show();
        Label7->show();
    } else {
        Text7->hide();
        Label7->hide();
        Text7->clear();
    }
    Command2->setEnabled(true);
}

// The interval options in the order of their stored numbers (0 = 2 hours).
QList<QRadioButton *> MainWindow::intervalOptions() const {
    return {Option1, Option2, Option3, Option4, Option5};
}

int MainWindow::selectedInterval() const {
    const QList<QRadioButton *> options = intervalOptions();
    for (int i = 0; i < options.size(); ++i)
        if (options[i]->isChecked()) return i;
    return -1;
}

void MainWindow::selectInterval(qint16 choice) {
    const QList<QRadioButton *> options = intervalOptions();
    selectOnly(options, choice >= 0 && choice < options.size() ? options[choice] : nullptr);
}

void MainWindow::fillHourLists() {
    // Filling an empty editable combo selects its first item and overwrites
    // the text the settings put there: keep and restore it.
    const QString start = Combo2->currentText();
    const QString end = Combo3->currentText();
    for (int h = 0; h < 24; ++h) {
        const QString item = QString::number(h) + QStringLiteral(":00");
        Combo2->addItem(item);
        Combo3->addItem(item);
    }
    Combo2->setEditText(start);
    Combo3->setEditText(end);
}

void MainWindow::Form_Load(const SettingsRecord &r, bool fromFile) {
    m_loaded = r;
    if (fromFile) {
        Text1->setText(r.POP_Address);
        Text2->setText(r.POP_PassWord);
        Text5->setText(r.Smtp_Address);
        Text3->setText(r.Trf_IPAddress);
        Text6->setText(r.POP_UserID);
        Text7->setText(r.Smtp_mail_address);
        if (r.Dup_Mode != 0)
            Option8_Click();
        else
            Option7_Click();
        Check1->setChecked(r.Quiet_Flag != 0);
        Check1_Click();
        Check3->setChecked(!Text7->text().isEmpty());
        Check3_Click();
        if (r.Trf_Flag != 0) {
            for (QWidget *w : {static_cast<QWidget *>(Command1), static_cast<QWidget *>(Label3),
                               static_cast<QWidget *>(Text3), static_cast<QWidget *>(Text5),
                               static_cast<QWidget *>(Label5)})
                w->show();
        } else {
            Option6_Click(1);
        }
        selectInterval(r.Check_Interval);
        Combo2->setEditText(r.Quiet_Start);
        Combo3->setEditText(r.Quiet_End);
        Combo1->setEditText(r.Dup_Entry);
        Command4->setEnabled(true);
        Command2->setEnabled(false);
    } else {
        selectInterval(0);
        Option7_Click();
        Combo1->hide();
        Command4->setEnabled(false);
    }
    fillHourLists();
}

SettingsRecord MainWindow::settings() const {
    SettingsRecord r = m_loaded;
    r.POP_Address = Text1->text();
    r.POP_PassWord = Text2->text();
    r.Smtp_Address = Text5->text();
    r.Trf_IPAddress = Text3->text();
    r.POP_UserID = Text6->text();
    r.Smtp_mail_address = Text7->text();
    r.Dup_Mode = Option7->isChecked() ? 0 : 1;
    r.Quiet_Flag = Check1->isChecked() ? 1 : 0;
    r.Trf_Flag = Option6_1->isChecked() ? 0 : 1;
    // No option chosen (a stored number out of range) keeps the stored one.
    if (const int choice = selectedInterval(); choice >= 0) r.Check_Interval = qint16(choice);
    r.Quiet_Start = Combo2->currentText();
    r.Quiet_End = Combo3->currentText();
    r.Dup_Entry = Combo1->currentText();
    return r;
}

void MainWindow::setEntries(const QStringList &names) {
    if (names.isEmpty()) return;
    // An empty combo selects (and, editable, shows) its first item on the
    // first insert, which would replace the entry read from the settings.
    const QString text = Combo1->currentText();
    const bool wasEmpty = Combo1->count() == 0;
    Combo1->addItems(names);
    if (wasEmpty) {
        const int at = Combo1->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
        Combo1->setCurrentIndex(at);
        if (at < 0) Combo1->setEditText(text);
    }
}

void MainWindow::setDestination(const QString &address) {
    Text3->setText(address);
}

void MainWindow::setServers(const QString &pop, const QString &smtp) {
    Text1->setText(pop);
    Text5->setText(smtp);
}

void MainWindow::setConnection(const ConnectionSettings &connection) {
    if (connection == m_loaded.connection) return;
    m_loaded.connection = connection;
    Text_Change(); // the rules of any edit: a new test before Run
}

void MainWindow::setAccepted(const AcceptedCertificate &pop, const AcceptedCertificate &smtp) {
    m_loaded.connection.popAccepted = pop;
    m_loaded.connection.smtpAccepted = smtp;
}

void MainWindow::setRefreshToken(const QString &refreshToken) {
    m_loaded.connection.oauthRefreshToken = refreshToken;
}

void MainWindow::setPasswords(const QString &pop, const QString &smtp) {
    if (Text2->text().isEmpty()) {
        const QSignalBlocker quiet(Text2);
        Text2->setText(pop);
    }
    if (m_loaded.connection.smtpPassword.isEmpty()) m_loaded.connection.smtpPassword = smtp;
}

void MainWindow::setStatus(const QString &text) {
    Text4->setText(text);
}

QString MainWindow::status() const {
    return Text4->text();
}

void MainWindow::showStatus(bool shown) {
    Text4->setVisible(shown);
}

bool MainWindow::statusShown() const {
    return !Text4->isHidden();
}

void MainWindow::setTestEnabled(bool enabled) {
    Command2->setEnabled(enabled);
}

void MainWindow::setRunEnabled(bool enabled) {
    Command4->setEnabled(enabled);
}

void MainWindow::closeEvent(QCloseEvent *event) {
    // The window is left only through Run, the carrier button and exit.
    event->ignore();
}

void MainWindow::showEvent(QShowEvent *event) {
    if (!m_centred) {
        m_centred = true;
        centreOnScreen(this);
    }
    QWidget::showEvent(event);
}
