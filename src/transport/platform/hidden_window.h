#pragma once
// A socket object's "hidden window": the target of its readiness notices.
//
// The transport was designed around window messages: the platform posts a
// message to a window and the window procedure of the owning object handles
// it. HiddenWindow keeps that shape without a window system: it is a
// QObject living on the event thread whose procedure is a callback set by
// its owner. Registrations made with SocketApi::asyncSelect hold a guarded
// pointer to it, so a notice for a destroyed window is dropped, never
// delivered to freed memory.

#include <QObject>
#include <cstdint>
#include <functional>

namespace parlivo {

struct WindowMessage {
  unsigned msg = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
  std::intptr_t result = 0;
};

class HiddenWindow : public QObject {
 public:
  using Procedure = std::function<void(WindowMessage&)>;

  explicit HiddenWindow(Procedure procedure) : procedure_(std::move(procedure)) {}

  // Runs the window procedure synchronously and returns its result.
  std::intptr_t sendMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    WindowMessage message{msg, wParam, lParam, 0};
    if (procedure_) procedure_(message);
    return message.result;
  }

 private:
  Procedure procedure_;
};

}  // namespace parlivo
