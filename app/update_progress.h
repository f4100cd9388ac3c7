// The progress dialog of a firmware update, and the event pump the update
// waits through while it is up: pending events run modal for the dialog, so
// the dialog's Cancel button works while the main window, its menus and its
// accelerators take no input.
#pragma once
#include <string>

#include "interfaces/window_interfaces.h"

namespace FX {
class FXWindow;
class FXProgressDialog;
}  // namespace FX

class UpdateProgressDialog : public EventPump, public ProgressView {
 public:
  explicit UpdateProgressDialog(FX::FXWindow* owner);
  ~UpdateProgressDialog() override;
  UpdateProgressDialog(const UpdateProgressDialog&) = delete;
  UpdateProgressDialog& operator=(const UpdateProgressDialog&) = delete;

  // EventPump
  void runPending() override;   // forceRefresh, flush, runModalWhileEvents(dialog)
  void pumpEvents() override;   // runPending, then sleep 2 ms
  void pause(int ms) override;  // sleep; nothing runs meanwhile

  // ProgressView: the dialog is shown by start and hidden by finish.
  void start(const char* protocol, unsigned totalBlocks) override;
  void update(const std::string& step, unsigned done) override;
  bool cancelRequested() override;
  void finish() override;

  FX::FXProgressDialog* dialog() const { return dialog_; }  // null before start

 private:
  FX::FXWindow* owner_;
  FX::FXProgressDialog* dialog_ = nullptr;
  std::string protocol_;
};
