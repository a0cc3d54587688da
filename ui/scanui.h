// The modal progress dialog in front of the window while one operation runs on the worker.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "ui/dialogs.h"
#include "ui/frameless.h"

class DRUI;

class SCANUI : public QDialog {
  Q_OBJECT
 public:
  explicit SCANUI(QWidget* parent = nullptr, Qt::WindowFlags flags = {});

  void SetSaveDir(const QString& folder) { m_saveDir = folder; }
  // Stores the window and the operation (1 scan, 2 search, 3 preview, 4 recovery), builds the
  // widgets and connects the window's progress signals.
  void InitSlot(DRUI* window, int opType);

  CDetail& Detail() { return m_detail; }
  QPushButton* CancelButton() const { return m_cancel; }
  QLabel* StatusLabel() const { return m_status; }
  QLabel* TitleLabel() const { return m_title; }
  QProgressBar* ProgressBar() const { return m_progressBar; }
  bool IsFinished() const { return m_bIsFinished; }

 public slots:
  void ScanProcessCallBackSlot(int a, int b, int c, QString s1, QString s2, QString s3, QString text);
  void RecoveryCallBackSlot(int a, int b, int failed, QString name);
  void SearchCallBackSlot(int percent, QString text);
  void PreViewCallBackSlot(int percent, int detail);
  // One file of a recovery is done (from the recovery loop, failures with their reason).
  void RecoveredFileSlot(QString path, int failed, QString reason);
  // The worker thread has returned: only now may the dialog close and the caller read results.
  void WorkerFinished();
  void btnSlot();
  void btnDetail();
  void btnOpenFolder();
  // Escape comes here: the same confirm-and-stop path as Cancel.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void InitDialog();
  void SetBar(int percent);

  DRUI* m_window = nullptr;
  int m_nOprType = 0;
  bool m_bIsFinished = false;
  bool m_workerDone = false;
  bool m_stopping = false;
  QString m_currentItem;
  QString m_saveDir;
  QLabel* m_title = nullptr;
  QLabel* m_status = nullptr;
  QProgressBar* m_progressBar = nullptr;
  QPushButton* m_cancel = nullptr;
  CDetail m_detail;
  VORLENTA_FRAMELESS_MOUSE()
};
