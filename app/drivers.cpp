// The window's drivers: scan, search, preview and recovery on the worker thread behind the
// progress dialog, and the engine callbacks that report to it.
#include <unistd.h>

#include <QDateTime>
#include <QFileInfo>
#include <QPixmap>

#include <cstring>

#include "engine/crash_guard.h"
#include "engine/status.h"
#include "scan/professional_recovery.h"
#include "scan/recovery_factory.h"
#include "ui/drui.h"
#include "ui/scanui.h"
#include "util/debug_log.h"
#include "util/destination_check.h"
#include "util/os_helpers.h"
#include "util/platform.h"
#include "util/text.h"

using namespace vorlenta;

namespace {

constexpr char16_t kVolumeTag = u'C';
constexpr int kScanWeight = 100;
constexpr int kSearchDone = 100;
constexpr int kFullProduct = 10000;
// Progress reaches the dialog a few times a second; more would flood the window's queue.
constexpr long long kReportIntervalMs = 200;
constexpr int kPreviewPictureWidth = 700;
constexpr int kPreviewPictureHeight = 200;
constexpr int kHexLineBytes = 256;
constexpr int kDialogWidth = 500;
constexpr int kDialogHeight = 250;
constexpr int kScanFailed = -1;

DRUI& Window(void* ctx) { return *static_cast<DRUI*>(ctx); }

QString WideToQString(const char16_t* text) {
  return text == nullptr ? QString() : QString::fromUtf16(text, static_cast<qsizetype>(WideLength(text)));
}

}  // namespace

bool DRUI::ThrottleReport(bool final) {
  const long long now = QDateTime::currentMSecsSinceEpoch();
  if (!final && now - m_lastReportMs.load() < kReportIntervalMs) return false;
  m_lastReportMs.store(now);
  return true;
}

int DRUI::ScanCallBack(void* ctx, int percent, int weight, int secondsLeft, unsigned long long current,
                       unsigned long long total, unsigned long long found, const char16_t* text) {
  DRUI& w = Window(ctx);
  if (w.StopFlag(kOpScan).load()) return 1;
  if (w.ThrottleReport(percent * weight >= kFullProduct)) {
    emit w.ScanProcessCallBack(percent, weight, secondsLeft, QString::number(current, 10), QString::number(total, 10),
                               QString::number(found, 10), WideToQString(text));
  }
  return 0;
}

// A recovery stops between files (the recovery loop watches the stop flag), never inside one:
// a file cut short would be left under its real name.
int DRUI::RecoveryCallBack(void* ctx, int percent, int phase, int failed, const char16_t* name) {
  DRUI& w = Window(ctx);
  if (w.ThrottleReport(percent == 100 || phase == kRecoveryPhaseFinished)) {
    emit w.RecoveryCallBack(percent, phase, failed, WideToQString(name));
  }
  return 0;
}

int DRUI::SearchCallBack(void* ctx, int percent, const char16_t*) {
  DRUI& w = Window(ctx);
  if (w.StopFlag(kOpSearch).load()) return 1;
  if (w.ThrottleReport(percent == kSearchDone)) emit w.SearchCallBack(percent, QString(""));
  return 0;
}

int DRUI::PreViewCallBack(void* ctx, int percent, int detail) {
  DRUI& w = Window(ctx);
  if (w.StopFlag(kOpPreview).load()) return 1;
  if (w.ThrottleReport(percent == 100)) emit w.PreViewCallBackForSlot(percent, detail);
  return 0;
}

void DRUI::_ScanProcess(void* ctx, int& status) {
  Window(ctx).Scan(u"", status);
  Window(ctx).DoneFlag(kOpScan).store(true);
}

void DRUI::_SearchProcess(void* ctx, int&) {
  DRUI& w = Window(ctx);
  w.m_searchResults.clear();
  if (w.m_engine != nullptr) {
    w.m_engine->InitSearchCallBack(&DRUI::SearchCallBack, ctx);
    w.m_operationStatus = w.m_engine->SearchFileNode(w.m_searchKey.c_str(), w.m_searchResults);
  }
  w.DoneFlag(kOpSearch).store(true);
  SearchCallBack(ctx, kSearchDone, u"");
}

void DRUI::_PreviewProcess(void* ctx, int&) {
  Window(ctx).PreviewProcess();
  Window(ctx).DoneFlag(kOpPreview).store(true);
}

void DRUI::_RecoveryProcess(void* ctx, int&) {
  Window(ctx).RecoveryProcess();
  Window(ctx).DoneFlag(kOpRecovery).store(true);
}

int DRUI::Scan(const char16_t*, int& status) {
  m_engine.reset();
  DebugPrint("m_partitionItem.u64StartSector = %lld\n", static_cast<long long>(m_partitionItem.u64StartSector));
  const long long start = static_cast<long long>(m_partitionItem.u64StartSector);
  const long long count = static_cast<long long>(m_partitionItem.u64EndSector + 1 - m_partitionItem.u64StartSector);
  m_engine = CFileRecoveryFactory::GetInstance().CreateFileRecoveryInstance(m_partitionItem.nDiskNumber, start, count,
                                                                            kVolumeTag, kRecoveryProfessional);
  // The window always starts afresh, never from an earlier scan's log.
  if (auto* deep = dynamic_cast<CProfessionalRecovery*>(m_engine.get())) deep->SetNotLoadLogFile();
  if (m_engine == nullptr) {
    status = kScanFailed;
    m_operationError = "The chosen partition cannot be read.";
  } else {
    m_engine->InitCallBack(&DRUI::ScanCallBack, &DRUI::RecoveryCallBack, this, kScanWeight);
    status = m_engine->ScanDevice(nullptr);
    if (status != 0 && !StopFlag(kOpScan).load()) {
      m_operationError = "The scan failed: " + QString::fromStdString(DescribeStatus(status)) + ".";
    }
  }
  m_operationStatus = status;
  return status;
}

void DRUI::PreviewProcess() {
  m_previewTempPath.assign(kMaxRecoveryPathUnits, u'\0');
  m_nPreviewSize = kPreviewBufferBytes;
  static CCrashGuard guard("PreviewProcess recvSignal");
  int status = kStatusReadFault;
  guard.Run([&] {
    status = m_engine->PreView(&m_previewNode, m_previewTempPath.data(), m_previewBuffer.data(), m_nPreviewSize,
                               &DRUI::PreViewCallBack, this);
  });
  m_previewTempPath.resize(WideLength(m_previewTempPath.c_str()));
  m_operationStatus = status;
  if (status != 0 && !StopFlag(kOpPreview).load()) {
    m_operationError = "Cannot preview this file: " + QString::fromStdString(DescribeStatus(status)) + ".";
  }
}

namespace {

void OnRecoveredFile(void* context, const _FILE_NODE_&, const std::string& path, int status) {
  emit Window(context).RecoveredFile(QString::fromStdString(path), status != 0 ? 1 : 0,
                                     status != 0 ? QString::fromStdString(DescribeStatus(status)) : QString());
}

}  // namespace

void DRUI::RecoveryProcess() {
  std::vector<_FILE_NODE_> nodes;
  nodes.reserve(m_selection.size());
  for (const auto& entry : m_selection) nodes.push_back(entry.second);
  static CCrashGuard guard("RecoveryProcess recvSignal");
  RecoverNodes(*m_engine, nodes, m_saveDir.toStdString(), guard, &StopFlag(kOpRecovery), &OnRecoveredFile, this,
               &DRUI::RecoveryCallBack, this);
}

CategorySelection DRUI::CheckedCategories() const {
  CategorySelection categories;
  categories.photo = m_categoryBoxes[kPhoto]->isChecked();
  categories.music = m_categoryBoxes[kMusic]->isChecked();
  categories.office = m_categoryBoxes[kOffice]->isChecked();
  categories.video = m_categoryBoxes[kVideo]->isChecked();
  categories.archive = m_categoryBoxes[kArchive]->isChecked();
  categories.other = m_categoryBoxes[kOther]->isChecked();
  return categories;
}

QString DRUI::PreviewFileName() const { return QString::fromStdString(AnsiToUtf8(m_previewNode.FileName)); }

int DRUI::RunOperation(int op, CMyThread::Function function, const QString& saveDir) {
  StopFlag(op).store(false);
  DoneFlag(op).store(false);
  m_lastReportMs.store(0);
  m_operationStatus = 0;
  m_operationError.clear();
  CMyThread thread;
  thread.SetFunc(function, this);
  SCANUI dialog(this);
  dialog.InitSlot(this, op);
  if (op == kOpRecovery) dialog.SetSaveDir(saveDir);
  dialog.setGeometry(geometry().x() + width() / 4, geometry().y() + height() / 4, kDialogWidth, kDialogHeight);
  connect(&thread, &QThread::finished, &dialog, &SCANUI::WorkerFinished);
  thread.start(QThread::InheritPriority);
  dialog.exec();
  thread.exit(0);
  thread.wait();
  return m_operationStatus;
}

void DRUI::btnSlotScan() {
  QTreeWidgetItem* item = m_diskTree->currentItem();
  if (item == nullptr || item->childCount() != 0 || !item->data(0, Qt::UserRole).canConvert<_PARTITION_ITEM_>()) {
    return;
  }
  _PARTITION_ITEM_ chosen = item->data(0, Qt::UserRole).value<_PARTITION_ITEM_>();
  // The disk numbers may have moved since the list was made (a card plugged in): find the disk
  // again by its path.
  const std::string path = item->data(0, Qt::UserRole + 1).toString().toStdString();
  const std::vector<std::string> paths = GetDiskPaths();
  int disk = -1;
  for (size_t n = 0; n < paths.size() && !path.empty(); ++n) {
    if (paths[n] == path && ::access(path.c_str(), F_OK) == 0) disk = static_cast<int>(n);
  }
  if (disk < 0) {
    ShowNotice("The device is no longer there. Press Refresh and choose it again.");
    return;
  }
  chosen.nDiskNumber = disk;
  m_partitionItem = chosen;
  m_sourcePath = path;
  ClearSelection();
  m_searchKey = BuildSearchKey(CheckedCategories());

  RunOperation(kOpScan, &DRUI::_ScanProcess);
  DebugPrint("_ScanProcess end\n");
  if (!m_operationError.isEmpty()) {
    ShowNotice(m_operationError);
    ReleaseEngine();
    return;
  }
  DebugPrint("_SearchProcess Start\n");
  RunOperation(kOpSearch, &DRUI::_SearchProcess);
  DebugPrint("_SearchProcess end\n");
  InitLayout3Widget();
  m_stack->setCurrentWidget(m_page3);
}

void DRUI::ShowPreview() {
  if (!m_operationError.isEmpty()) {
    m_preview->setPixmap(QPixmap());
    m_preview->setText(m_operationError);
    return;
  }
  if (!m_previewTempPath.empty()) {
    const QString file = WideToQString(m_previewTempPath.c_str());
    if (!QFileInfo::exists(file)) return;
    QPixmap picture(file);
    if (picture.width() > kPreviewPictureWidth) {
      picture =
          picture.scaled(kPreviewPictureWidth, kPreviewPictureHeight, Qt::KeepAspectRatio, Qt::FastTransformation);
    }
    m_preview->setAlignment(Qt::AlignCenter);
    m_preview->setPixmap(picture);
    return;
  }
  m_preview->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  WinHexBufData(&m_previewNode, m_previewBuffer.data(), m_nPreviewSize);
}

void DRUI::WinHexBufData(_FILE_NODE_*, unsigned char* buffer, int size) {
  size_t out = 0;
  const size_t room = m_previewText.size();
  auto put = [&](char c) {
    if (out + 1 < room) m_previewText[out++] = c;
  };
  for (int i = 0; i < size; ++i) {
    put(buffer[i] == 0 ? '.' : static_cast<char>(buffer[i]));
    if ((i + 1) % kHexLineBytes == 0) {
      put('\r');
      put('\n');
    }
  }
  if ((size + 1) % kHexLineBytes != 0) {
    put('\r');
    put('\n');
  }
  m_preview->setPixmap(QPixmap());
  // Each byte is one character: Latin-1 keeps every byte visible whatever the file holds.
  m_preview->setText(QString::fromLatin1(m_previewText.data(), static_cast<qsizetype>(out)));
}

void DRUI::btnRecovery() {
  if (m_selection.empty() || m_engine == nullptr) return;
  const QString folder = m_chooseFolder(this, InvokingUserHome());
  if (folder.isNull()) return;
  unsigned long long bytes = 0;
  for (const auto& entry : m_selection) bytes += entry.second.FileSize;
  std::string sentence;
  const DestinationVerdict verdict = CheckDestination(folder.toStdString(), m_sourcePath, bytes, sentence);
  if (verdict != DestinationVerdict::kFine) {
    ShowNotice(QString::fromStdString(sentence));
    return;
  }
  m_saveDir = folder;
  DebugPrint("_RecoveryProcess Start\n");
  RunOperation(kOpRecovery, &DRUI::_RecoveryProcess, folder);
  DebugPrint("_RecoveryProcess end\n");
}
