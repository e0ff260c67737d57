// main's scheduler tick, check starter and exit button.
#include "app/mainwindow.h"
#include "app/program.h"
#include "app/schedule.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QLineEdit>
#include <QRadioButton>
#include <QThread>

void MainWindow::Timer1_Timer() {
    const SharedState &st = m_program.state();
    if (isVisible() || st.Flag != 2) return;
    const QDateTime now = m_program.seams().now(); // one reading per tick
    if (schedule::quiet(Check1->isChecked(), Combo2->currentText(), Combo3->currentText(),
                        now.time().hour()))
        return;
    CheckTiming(now);
}

void MainWindow::CheckTiming(const QDateTime &now) {
    SharedState &st = m_program.state();
    const int minute = now.time().minute();
    const QString m = QString::number(minute);
    if (m == Last_Check_Minute) return;
    if (st.Retry_Flag == 1) {
        DialStart();
        return;
    }
    if (st.Retry_Flag >= 2) {
        st.Retry_Flag = 0;
        return;
    }
    if (!schedule::intervalDue(selectedInterval(), now.time().hour(), minute)) return;
    Last_Check_Minute = m;
    st.Retry_Flag = 0;
    DialStart();
}

void MainWindow::DialStart() {
    if (Option8->isChecked()) {
        m_program.dialStartDialUp();
        return;
    }
    // A check or its notice still running: this start is dropped, unreported.
    if (m_program.form1Loaded() || m_program.form3Loaded()) return;
    m_program.loadForm1();
}

void MainWindow::Command3_Click() {
    SharedState &st = m_program.state();
    // A link this program dialed is released even when the status line was
    // hidden meanwhile (tray menu, a refused test): nothing may stay dialed.
    if (!Text4->isHidden() || m_program.linkMonitorRunning()) {
        Text4->setText(QStringLiteral("終了処理中"));
        QCoreApplication::processEvents();
        m_program.hangUpForExit();
        QThread::msleep(m_program.seams().hangUpWaitMs);
    }
    if (st.Flag == 1) {
        Log_Message = QStringLiteral("終了ボタンが押されたので強制終了しました");
        LogWrite();
    }
    m_program.endNow();
}
