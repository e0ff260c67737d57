#include "windows/assist.h"

#include "windows/resources.h"
#include "windows/singleline.h"
#include "windows/twips.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

struct Choice {
    const char16_t *caption;
    int column; // 0 left, 1 right
    int row;    // 1-based
    const char16_t *suffix;
};

// The carriers' mail domains of their time (1999-2001).
//  - i-mode mail: docomo.ne.jp (NTT DoCoMo group, all regions).
//  - DDI Pocket P-mail DX: pdx.ne.jp.
//  - J-PHONE, one domain per regional company, jp-?.ne.jp: d Hokkaido,
//    h Tohoku, t Tokyo (Kanto-Koshin), r Hokuriku, c Tokai, k Kansai,
//    n Chugoku, s Shikoku, q Kyushu. Source: ITmedia Mobile, 2003-11-11,
//    "「vodafone.ne.jp」始まる", table of the domains before and after the
//    change (http://www.itmedia.co.jp/mobile/0311/11/n_vodachange.html).
//    The Tohoku choice puts ".0" after the number, before the at sign.
//  - The Cellular group's C-mail to the Internet used a subdomain of
//    ezweb.ne.jp per regional company (public filter lists name the shape
//    "*.ezweb.ne.jp"); no public list of the regional labels was found, so
//    the labels below are this program's own short names of the regions.
constexpr std::array<Choice, Assist::kChoices> kChoiceTable{{
    {u"ｉモード（ＮＴＴドコモグループ）", 0, 1, u"@docomo.ne.jp"},
    {u"ＰメールＤＸ", 0, 2, u"@pdx.ne.jp"},
    {u"SkyWaker　J-PHON北海道", 0, 3, u"@jp-d.ne.jp"},
    {u"SkyWaker　J-PHON東北", 0, 4, u".0@jp-h.ne.jp"},
    {u"SkyWaker　J-PHON東京", 0, 5, u"@jp-t.ne.jp"},
    {u"SkyWaker　J-PHON北陸", 0, 6, u"@jp-r.ne.jp"},
    {u"SkyWaker　J-PHON東海", 0, 7, u"@jp-c.ne.jp"},
    {u"SkyWaker　J-PHON関西", 0, 8, u"@jp-k.ne.jp"},
    {u"SkyWaker　J-PHON中国", 0, 9, u"@jp-n.ne.jp"},
    {u"SkyWaker　J-PHON四国", 0, 10, u"@jp-s.ne.jp"},
    {u"SkyWaker　J-PHON九州", 0, 11, u"@jp-q.ne.jp"},
    {u"Ｃメール　北海道セルラー", 1, 3, u"@hkd.ezweb.ne.jp"},
    {u"Ｃメール　東北セルラー", 1, 4, u"@thk.ezweb.ne.jp"},
    {u"Ｃメール　北陸セルラー", 1, 6, u"@hrk.ezweb.ne.jp"},
    {u"Ｃメール　関西セルラー", 1, 8, u"@kns.ezweb.ne.jp"},
    {u"Ｃメール　中国セルラー", 1, 9, u"@cgk.ezweb.ne.jp"},
    {u"Ｃメール　四国セルラー", 1, 10, u"@skk.ezweb.ne.jp"},
    {u"Ｃメール　九州セルラー", 1, 11, u"@kys.ezweb.ne.jp"},
    {u"Ｃメール　沖縄セルラー", 1, 12, u"@okn.ezweb.ne.jp"},
}};

QString text(const char16_t *s) {
    return QString::fromUtf16(s);
}

} // namespace

QString Assist::suffixOf(int option) {
    if (option < 1 || option > kChoices) return QString();
    return text(kChoiceTable[option - 1].suffix);
}

Assist::Assist(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("アシスト"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("メールアドレスアシスト"));
    setWindowIcon(programIcon());
    // The settings window is hidden meanwhile: closing this one must not end the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(twSize(6030, 6060));

    QFont boxFont(QStringLiteral("ＭＳ Ｐゴシック"));
    boxFont.setPointSizeF(11.25); // QFont's constructor would cut it to 11

    Label1 = new QLabel(QStringLiteral("電話番号ｏｒネーム"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(boxFont);
    Label1->setGeometry(twRect(960, 240, 1815, 255));

    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setFont(boxFont);
    Text1->setGeometry(twRect(3240, 120, 2175, 375));
    dropLineBreaks(Text1);

    Frame1 = new QGroupBox(QStringLiteral("キャリア選択"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twRect(240, 720, 5535, 4695));

    // Widths run to the next column, or to the frame's edge where the row has
    // no right-hand choice, so the long captions are not cut.
    for (int i = 0; i < kChoices; ++i) {
        const Choice &c = kChoiceTable[i];
        auto *option = new QRadioButton(text(c.caption), Frame1);
        option->setObjectName(QStringLiteral("Option%1").arg(i + 1));
        const int left = tw(c.column == 0 ? 360 : 3120);
        const bool rowShared =
            c.column == 0 && c.row != 1 && c.row != 2 && c.row != 5 && c.row != 7;
        const int right = rowShared ? tw(3120) - 4 : Frame1->width() - 2;
        option->setGeometry(left, tw(240 + (c.row - 1) * 360), right - left, tw(255));
        // A click on the already selected choice stores its suffix again.
        connect(option, &QRadioButton::clicked, this, [this, i] { Option_Click(i + 1); });
        Option[i] = option;
    }

    Command1 = new QPushButton(QStringLiteral("Ｏ　Ｋ"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twRect(600, 5520, 1215, 375));
    connect(Command1, &QPushButton::clicked, this, &Assist::Command1_Click);

    Command2 = new QPushButton(QStringLiteral("キャンセル"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(twRect(4080, 5520, 1215, 375));
    connect(Command2, &QPushButton::clicked, this, &Assist::Command2_Click);

    // Text1 first in the tab order, so it has the focus when the window opens.
    setTabOrder(Text1, Option[0]);
    setTabOrder(Option[0], Command1);
    setTabOrder(Command1, Command2);
    Text1->setFocus();

    Form_Load();
}

void Assist::Form_Load() {
    Option[0]->setChecked(true);
    Mail_Suffix = suffixOf(1);
    centreOnScreen(this);
}

void Assist::Option_Click(int option) {
    Mail_Suffix = suffixOf(option);
}

void Assist::Command1_Click() {
    if (m_unloading) return;
    m_unloading = true;
    const QString typed = Text1->text();
    emit addressChosen(typed.isEmpty() ? QString() : typed + Mail_Suffix);
}

void Assist::Command2_Click() {
    if (m_unloading) return;
    m_unloading = true;
    emit cancelled();
}

void Assist::closeEvent(QCloseEvent *event) {
    // The close box acts as キャンセル, so the hidden settings window comes back.
    event->accept();
    if (!m_unloading) Command2_Click();
}
