// The worker thread of the window: runs one plain function with a context pointer.
#pragma once

#include <QThread>

class CMyThread : public QThread {
 public:
  using Function = void (*)(void* context, int& status);

  explicit CMyThread(QObject* parent = nullptr) : QThread(parent) {}
  // Waits for the function to return: the object is never destroyed while it runs.
  ~CMyThread() override { wait(); }

  void SetFunc(Function function, void* context) {
    m_function = function;
    m_context = context;
  }

 protected:
  void run() override {
    if (m_function == nullptr) return;
    int status = 0;
    m_function(m_context, status);
  }

 private:
  Function m_function = nullptr;
  void* m_context = nullptr;
};
