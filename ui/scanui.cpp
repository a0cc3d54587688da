#include "ui/scanui.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/drui.h"
#include "util/os_helpers.h"

namespace {

constexpr int kDialogWidth = 500;
constexpr int kDialogHeight = 250;
constexpr int kQuestionWidth = 400;
constexpr int kQuestionHeight = 150;
constexpr int kDetailWidth = 600;
constexpr int kDetailHeight = 400;
// b of a scan report while sectors are read, and c while the time left is unknown.
constexpr int kScanReadingPhase = 90;
constexpr int kUnknownTime = -1;
constexpr int kFullProduct = 10000;
constexpr int kFullProductEnd = 10100;

}  // namespace

SCANUI::SCANUI(QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags | Qt::Dialog | Qt::FramelessWindowHint), m_detail(this) {
  setFixedSize(kDialogWidth, kDialogHeight);
  setWindowTitle("Vorlenta progress");
  setStyleSheet(vorlenta::ui::kDialogStyle);
  m_detail.hide();
}

void SCANUI::InitSlot(DRUI* window, int opType) {
  m_window = window;
  m_nOprType = opType;
  InitDialog();
  m_progressBar->setValue(0);
  m_status->setText(opType == DRUI::kOpScan ? "  Current Process: 0%\n  Estimated Time Left: 0 second\n" : "");
  connect(window, &DRUI::ScanProcessCallBack, this, &SCANUI::ScanProcessCallBackSlot);
  connect(window, QOverload<int, int, int, QString>::of(&DRUI::RecoveryCallBack), this, &SCANUI::RecoveryCallBackSlot);
  connect(window, QOverload<int, QString>::of(&DRUI::SearchCallBack), this, &SCANUI::SearchCallBackSlot);
  connect(window, &DRUI::PreViewCallBackForSlot, this, &SCANUI::PreViewCallBackSlot);
  connect(window, &DRUI::RecoveredFile, this, &SCANUI::RecoveredFileSlot);
}

void SCANUI::InitDialog() {
  auto* layout = new QVBoxLayout(this);
  m_title = new QLabel(this);
  m_title->setFont(QFont(vorlenta::ui::kFontFamily, 11));
  switch (m_nOprType) {
    case DRUI::kOpScan:
      m_title->setText("  Scan File\n  scanning drive for deleted files");
      break;
    case DRUI::kOpSearch:
      m_title->setText("  Search File\n  searching drive for deleted files");
      break;
    case DRUI::kOpPreview:
      m_title->setText(QString("  Preview File\n  %1\n").arg(m_window->PreviewFileName()));
      break;
    default:
      m_title->setText("  Recovery File\n");
      break;
  }
  layout->addWidget(m_title);
  m_progressBar = new QProgressBar(this);
  m_progressBar->setRange(0, 100);
  m_progressBar->setTextVisible(false);
  layout->addWidget(m_progressBar);
  m_status = new QLabel(this);
  m_status->setFont(QFont(vorlenta::ui::kFontFamily, 10));
  layout->addWidget(m_status, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto addButton = [&](const char* text, void (SCANUI::*slot)()) {
    auto* button = new QPushButton(text, this);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, slot);
    buttons->addWidget(button);
    return button;
  };
  if (m_nOprType == DRUI::kOpRecovery) {
    addButton("Detail", &SCANUI::btnDetail);
    addButton("Open Folder", &SCANUI::btnOpenFolder);
  }
  m_cancel = addButton("Cancel", &SCANUI::btnSlot);
  layout->addLayout(buttons);
}

void SCANUI::SetBar(int percent) {
  if (percent >= 0 && percent <= 100) m_progressBar->setValue(percent);
}

void SCANUI::ScanProcessCallBackSlot(int a, int b, int c, QString s1, QString s2, QString s3, QString text) {
  const int percent = a * b / 100;
  SetBar(percent);
  m_currentItem = text;
  if (m_stopping) return;
  QString timeText = "Estimated time is calculating";
  if (b == kScanReadingPhase) {
    if (c != kUnknownTime) {
      timeText = "Estimated Time Left: " + QString::fromStdString(vorlenta::GetTimeString(c));
    }
    m_status->setText(QString("  Current Process: %1%\n  Reading Sector: %2/%3\n  Total Files Found: %4\n  %5\n")
                          .arg(percent)
                          .arg(s1, s2, s3, timeText));
  } else {
    m_status->setText(QString("  Current Process: %1%\n  %2\n").arg(percent).arg(timeText));
  }
  // The engine's last report: the dialog still waits for the worker to return before closing.
  if (a * b >= kFullProduct && a * b < kFullProductEnd) m_bIsFinished = true;
}

void SCANUI::SearchCallBackSlot(int percent, QString text) {
  SetBar(percent);
  m_currentItem = text;
  if (m_stopping) return;
  m_status->setText(QString("  Process: %1%\n  Searching drive for recovery files").arg(percent));
  if (percent == 100 && m_window->DoneFlag(DRUI::kOpSearch).load()) m_bIsFinished = true;
}

void SCANUI::PreViewCallBackSlot(int percent, int /*detail*/) {
  SetBar(percent);
  if (m_stopping) return;
  m_status->setText(QString("  Process: %1%\n  Previewing file:%2").arg(percent).arg(m_window->PreviewFileName()));
  if (percent == 100) m_bIsFinished = true;
}

void SCANUI::RecoveryCallBackSlot(int a, int b, int /*failed*/, QString name) {
  const int percent = a * b / 100;
  if (b == vorlenta::kRecoveryPhaseFinished) {
    m_bIsFinished = true;
    m_cancel->setText("Finished");
    return;
  }
  SetBar(percent);
  m_currentItem = name;
  if (!m_stopping) m_status->setText(QString("  Process: %1%\n  Destination: %2").arg(percent).arg(name));
}

void SCANUI::RecoveredFileSlot(QString path, int failed, QString reason) {
  m_detail.AddTableItem(path, failed, reason);
}

void SCANUI::WorkerFinished() {
  m_workerDone = true;
  if (m_nOprType == DRUI::kOpRecovery && !m_stopping) {
    // The list stays on screen until the user has looked at it.
    m_bIsFinished = true;
    m_cancel->setText("Finished");
    m_cancel->setEnabled(true);
    m_progressBar->setValue(100);
    m_status->setText(
        QString("  Recovered %1 files, %2 failed").arg(m_detail.SuccessCount()).arg(m_detail.FailureCount()));
    return;
  }
  if (m_stopping) m_progressBar->setValue(0);
  done(QDialog::Accepted);
}

void SCANUI::btnSlot() { close(); }

void SCANUI::reject() { close(); }

void SCANUI::btnDetail() {
  m_detail.setGeometry(geometry().x(), geometry().y(), kDetailWidth, kDetailHeight);
  m_detail.exec();
}

void SCANUI::btnOpenFolder() { m_window->OpenAsUser(QUrl::fromLocalFile(m_saveDir)); }

void SCANUI::closeEvent(QCloseEvent* event) {
  if (m_workerDone) {
    event->accept();
    return;
  }
  if (m_stopping) {
    event->ignore();
    return;
  }
  static const char* const kQuestions[] = {
      "Are you sure to cancel the scanning?", "Are you sure to cancel the searching?",
      "Are you sure to cancel the previewing?", "Are you sure to cancel the recoverying?"};
  CMessageBox question(this);
  question.InitQuestionDialog(kQuestions[(m_nOprType >= 1 && m_nOprType <= 4 ? m_nOprType : 1) - 1]);
  question.setGeometry(geometry().x() + width() / 8, geometry().y() + height() / 8, kQuestionWidth, kQuestionHeight);
  question.exec();
  event->ignore();
  // The worker may have ended while the question was open.
  if (question.GetMessageBoxRet() == 0 || m_workerDone) {
    if (m_workerDone) WorkerFinished();
    return;
  }
  // Ask the worker to stop and keep the event loop running: WorkerFinished closes the dialog.
  m_window->StopFlag(m_nOprType).store(true);
  m_stopping = true;
  m_cancel->setEnabled(false);
  m_status->setText("  Stopping…");
}
