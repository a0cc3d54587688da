// The small frameless dialogs of the progress dialog: the yes/no question before a cancel (and
// a one-button notice for errors), and the per-file list of a recovery.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>

#include "ui/frameless.h"

class CMessageBox : public QDialog {
  Q_OBJECT
 public:
  explicit CMessageBox(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
  // Question with "Yes" and "No".
  void InitQuestionDialog(const QString& text);
  // Notice with a single "OK" (errors the user must read).
  void InitNoticeDialog(const QString& text);
  // 1 for Yes (or OK), 0 for No or any other way of closing.
  int GetMessageBoxRet() const { return m_nRet; }
  QPushButton* YesButton() const { return m_yes; }
  QPushButton* NoButton() const { return m_no; }
  QString Text() const { return m_text != nullptr ? m_text->text() : QString(); }

 public slots:
  void btnSlotOK();
  void btnSlotNO();

 private:
  void Build(const QString& title, const QString& text, bool question);

  int m_nRet = 0;
  QLabel* m_text = nullptr;
  QPushButton* m_yes = nullptr;
  QPushButton* m_no = nullptr;
  VORLENTA_FRAMELESS_MOUSE()
};

class CDetail : public QDialog {
  Q_OBJECT
 public:
  explicit CDetail(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
  // One row per file: a failure (with its reason) on top, a success appended at the bottom.
  void AddTableItem(const QString& name, int failed, const QString& reason = QString());
  int SuccessCount() const { return m_nSuccess; }
  int FailureCount() const { return m_nFailed; }
  QTableWidget* Table() const { return m_table; }
  QString Summary() const { return m_summary->text(); }

 public slots:
  void btnSlot();

 private:
  void CreateTable();

  QTableWidget* m_table = nullptr;
  QLabel* m_summary = nullptr;
  int m_nSuccess = 0;
  int m_nFailed = 0;
  VORLENTA_FRAMELESS_MOUSE()
};
