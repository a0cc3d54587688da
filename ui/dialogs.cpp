#include "ui/dialogs.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "ui/style.h"

namespace {

constexpr int kMessageWidth = 400;
constexpr int kMessageHeight = 150;
constexpr int kDetailWidth = 600;
constexpr int kDetailHeight = 400;
constexpr int kDetailNameWidth = 400;
constexpr int kDetailStatusWidth = 300;
constexpr int kDetailRowHeight = 22;

}  // namespace

CMessageBox::CMessageBox(QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags | Qt::Dialog | Qt::FramelessWindowHint) {
  setWindowTitle("Vorlenta");
  setFixedSize(kMessageWidth, kMessageHeight);
  setStyleSheet(vorlenta::ui::kDialogStyle);
}

void CMessageBox::Build(const QString& title, const QString& text, bool question) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  auto* header = new QWidget(this);
  header->setStyleSheet(vorlenta::ui::kHeaderStripStyle);
  auto* headerLayout = new QHBoxLayout(header);
  auto* picture = new QLabel(header);
  picture->setPixmap(QPixmap(":/image/close.png").scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  auto* caption = new QLabel("  " + title, header);
  caption->setFont(QFont("Arial", 12));
  headerLayout->addWidget(picture);
  headerLayout->addWidget(caption, 1);
  layout->addWidget(header);

  auto* body = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(QPixmap(":/image/question.png"));
  m_text = new QLabel(text, this);
  m_text->setWordWrap(true);
  body->addSpacing(12);
  body->addWidget(icon);
  body->addSpacing(12);
  body->addWidget(m_text, 1);
  layout->addLayout(body, 1);

  auto* strip = new QWidget(this);
  strip->setStyleSheet("background-color: rgb(220, 220, 220);");
  auto* buttons = new QHBoxLayout(strip);
  buttons->addStretch(1);
  m_yes = new QPushButton(question ? "Yes" : "OK", strip);
  connect(m_yes, &QPushButton::clicked, this, &CMessageBox::btnSlotOK);
  buttons->addWidget(m_yes);
  if (question) {
    m_no = new QPushButton("No", strip);
    connect(m_no, &QPushButton::clicked, this, &CMessageBox::btnSlotNO);
    buttons->addWidget(m_no);
  }
  layout->addWidget(strip);
}

void CMessageBox::InitQuestionDialog(const QString& text) { Build("Question", text, true); }

void CMessageBox::InitNoticeDialog(const QString& text) { Build("Notice", text, false); }

void CMessageBox::btnSlotOK() {
  m_nRet = 1;
  close();
}

void CMessageBox::btnSlotNO() {
  m_nRet = 0;
  close();
}

CDetail::CDetail(QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags | Qt::Dialog | Qt::FramelessWindowHint) {
  setFixedSize(kDetailWidth, kDetailHeight);
  setStyleSheet(vorlenta::ui::kDialogStyle);
  auto* layout = new QVBoxLayout(this);
  m_summary = new QLabel("  Recovery Detail\n  Sucess:0 Failed:0\n", this);
  m_summary->setFont(QFont("Arial", 11));
  layout->addWidget(m_summary);
  CreateTable();
  layout->addWidget(m_table, 1);
  auto* ok = new QPushButton("OK", this);
  connect(ok, &QPushButton::clicked, this, &CDetail::btnSlot);
  layout->addWidget(ok, 0, Qt::AlignRight);
}

void CDetail::CreateTable() {
  m_table = new QTableWidget(0, 2, this);
  m_table->setHorizontalHeaderLabels({"Name", "Status"});
  m_table->setColumnWidth(0, kDetailNameWidth);
  m_table->setColumnWidth(1, kDetailStatusWidth);
  m_table->horizontalHeader()->setStretchLastSection(true);
  m_table->verticalHeader()->setVisible(false);
  m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void CDetail::AddTableItem(const QString& name, int failed, const QString& reason) {
  int row = 0;
  auto* status = new QTableWidgetItem;
  if (failed != 0) {
    m_table->insertRow(0);
    status->setText(reason.isEmpty() ? QString("Failed") : "Failed: " + reason);
    status->setForeground(QColor(255, 0, 0));
    ++m_nFailed;
  } else {
    row = m_table->rowCount();
    m_table->insertRow(row);
    status->setText("Success");
    ++m_nSuccess;
  }
  m_table->setItem(row, 0, new QTableWidgetItem(name));
  m_table->setItem(row, 1, status);
  m_table->setRowHeight(row, kDetailRowHeight);
  m_summary->setText(QString("  Recovery Detail\n  Sucess:%1 Failed:%2\n").arg(m_nSuccess).arg(m_nFailed));
}

void CDetail::btnSlot() { close(); }
