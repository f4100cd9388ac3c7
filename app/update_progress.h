// The progress dialog of a firmware update. While it is up, the window's
// pump runs modal for it, so its Cancel button works while the main window,
// its menus and its accelerators take no input.
#pragma once
#include <string>

#include "app/fox_event_pump.h"
#include "interfaces/window_interfaces.h"

namespace FX {
class FXWindow;
class FXProgressDialog;
}  // namespace FX

class UpdateProgressDialog : public ProgressView {
 public:
  UpdateProgressDialog(FX::FXWindow* owner, FoxEventPump& pump);
  ~UpdateProgressDialog() override;
  UpdateProgressDialog(const UpdateProgressDialog&) = delete;
  UpdateProgressDialog& operator=(const UpdateProgressDialog&) = delete;

  // The dialog is shown by start and hidden by finish.
  void start(const char* protocol, unsigned totalBlocks) override;
  void update(const std::string& step, unsigned done) override;
  bool cancelRequested() override;
  void finish() override;

  FX::FXProgressDialog* dialog() const { return dialog_; }  // null before start

 private:
  FX::FXWindow* owner_;
  FoxEventPump& pump_;
  FX::FXProgressDialog* dialog_ = nullptr;
  std::string protocol_;
};
